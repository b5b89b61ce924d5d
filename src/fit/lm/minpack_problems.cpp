// The test problems of Moré, Garbow and Hillstrom (1981), in the sizes the
// MINPACK test drivers use.

#include "fit/lm/minpack_problems.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "fit/lm/lm_internal.h"

namespace kelvra::testing {
namespace {

// Column-major writer over a Jacobian buffer of m rows.
struct Jac {
  std::span<double> data;
  std::size_t m;
  double& operator()(std::size_t i, std::size_t j) const { return data[i + j * m]; }
};

constexpr std::size_t kLinearM = 10;

void linear_full_rank_f(std::span<const double> x, std::span<double> f) {
  double sum = 0.0;
  for (double v : x) sum += v;
  const double shift = 2.0 * sum / static_cast<double>(kLinearM) + 1.0;
  for (std::size_t i = 0; i < kLinearM; ++i) f[i] = (i < x.size() ? x[i] : 0.0) - shift;
}
void linear_full_rank_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, kLinearM};
  for (std::size_t j = 0; j < x.size(); ++j)
    for (std::size_t i = 0; i < kLinearM; ++i) J(i, j) = (i == j ? 1.0 : 0.0) - 2.0 / kLinearM;
}

void rosenbrock_f(std::span<const double> x, std::span<double> f) {
  f[0] = 10.0 * (x[1] - x[0] * x[0]);
  f[1] = 1.0 - x[0];
}
void rosenbrock_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, 2};
  J(0, 0) = -20.0 * x[0], J(0, 1) = 10.0;
  J(1, 0) = -1.0, J(1, 1) = 0.0;
}

const double kSqrt5 = std::sqrt(5.0);
const double kSqrt10 = std::sqrt(10.0);

void powell_singular_f(std::span<const double> x, std::span<double> f) {
  f[0] = x[0] + 10.0 * x[1];
  f[1] = kSqrt5 * (x[2] - x[3]);
  f[2] = (x[1] - 2.0 * x[2]) * (x[1] - 2.0 * x[2]);
  f[3] = kSqrt10 * (x[0] - x[3]) * (x[0] - x[3]);
}
void powell_singular_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, 4};
  std::fill(jac.begin(), jac.end(), 0.0);
  J(0, 0) = 1.0, J(0, 1) = 10.0;
  J(1, 2) = kSqrt5, J(1, 3) = -kSqrt5;
  J(2, 1) = 2.0 * (x[1] - 2.0 * x[2]), J(2, 2) = -4.0 * (x[1] - 2.0 * x[2]);
  J(3, 0) = 2.0 * kSqrt10 * (x[0] - x[3]), J(3, 3) = -2.0 * kSqrt10 * (x[0] - x[3]);
}

void freudenstein_roth_f(std::span<const double> x, std::span<double> f) {
  f[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
  f[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
}
void freudenstein_roth_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, 2};
  J(0, 0) = 1.0, J(0, 1) = (10.0 - 3.0 * x[1]) * x[1] - 2.0;
  J(1, 0) = 1.0, J(1, 1) = (3.0 * x[1] + 2.0) * x[1] - 14.0;
}

constexpr std::array<double, 15> kBardY = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39,
                                           0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};
void bard_f(std::span<const double> x, std::span<double> f) {
  for (std::size_t i = 0; i < kBardY.size(); ++i) {
    const double u = static_cast<double>(i + 1), v = 16.0 - u, w = std::min(u, v);
    f[i] = kBardY[i] - (x[0] + u / (v * x[1] + w * x[2]));
  }
}
void bard_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, kBardY.size()};
  for (std::size_t i = 0; i < kBardY.size(); ++i) {
    const double u = static_cast<double>(i + 1), v = 16.0 - u, w = std::min(u, v);
    const double den = v * x[1] + w * x[2];
    J(i, 0) = -1.0, J(i, 1) = u * v / (den * den), J(i, 2) = u * w / (den * den);
  }
}

constexpr std::array<double, 11> kKowalikY = {0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627,
                                              0.0456, 0.0342, 0.0323, 0.0235, 0.0246};
constexpr std::array<double, 11> kKowalikU = {4.0, 2.0, 1.0, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625};
void kowalik_osborne_f(std::span<const double> x, std::span<double> f) {
  for (std::size_t i = 0; i < kKowalikY.size(); ++i) {
    const double u = kKowalikU[i];
    f[i] = kKowalikY[i] - x[0] * u * (u + x[1]) / (u * (u + x[2]) + x[3]);
  }
}
void kowalik_osborne_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, kKowalikY.size()};
  for (std::size_t i = 0; i < kKowalikY.size(); ++i) {
    const double u = kKowalikU[i], num = u * (u + x[1]), den = u * (u + x[2]) + x[3];
    J(i, 0) = -num / den, J(i, 1) = -x[0] * u / den;
    J(i, 2) = x[0] * num * u / (den * den), J(i, 3) = x[0] * num / (den * den);
  }
}

constexpr std::array<double, 16> kMeyerY = {34780.0, 28610.0, 23650.0, 19630.0, 16370.0, 13720.0, 11540.0, 9744.0,
                                            8261.0,  7030.0,  6005.0,  5147.0,  4427.0,  3820.0,  3307.0,  2872.0};
double meyer_t(std::size_t i) { return 45.0 + 5.0 * static_cast<double>(i + 1); }
void meyer_f(std::span<const double> x, std::span<double> f) {
  for (std::size_t i = 0; i < kMeyerY.size(); ++i) f[i] = x[0] * std::exp(x[1] / (meyer_t(i) + x[2])) - kMeyerY[i];
}
void meyer_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, kMeyerY.size()};
  for (std::size_t i = 0; i < kMeyerY.size(); ++i) {
    const double d = meyer_t(i) + x[2], e = std::exp(x[1] / d);
    J(i, 0) = e, J(i, 1) = x[0] * e / d, J(i, 2) = -x[0] * e * x[1] / (d * d);
  }
}

constexpr std::size_t kJennrichM = 10;
void jennrich_sampson_f(std::span<const double> x, std::span<double> f) {
  for (std::size_t i = 0; i < kJennrichM; ++i) {
    const double k = static_cast<double>(i + 1);
    f[i] = 2.0 + 2.0 * k - (std::exp(k * x[0]) + std::exp(k * x[1]));
  }
}
void jennrich_sampson_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, kJennrichM};
  for (std::size_t i = 0; i < kJennrichM; ++i) {
    const double k = static_cast<double>(i + 1);
    J(i, 0) = -k * std::exp(k * x[0]), J(i, 1) = -k * std::exp(k * x[1]);
  }
}

constexpr std::size_t kBrownDennisM = 20;
void brown_dennis_f(std::span<const double> x, std::span<double> f) {
  for (std::size_t i = 0; i < kBrownDennisM; ++i) {
    const double t = static_cast<double>(i + 1) / 5.0;
    const double a = x[0] + t * x[1] - std::exp(t), b = x[2] + x[3] * std::sin(t) - std::cos(t);
    f[i] = a * a + b * b;
  }
}
void brown_dennis_j(std::span<const double> x, std::span<double> jac) {
  const Jac J{jac, kBrownDennisM};
  for (std::size_t i = 0; i < kBrownDennisM; ++i) {
    const double t = static_cast<double>(i + 1) / 5.0;
    const double a = x[0] + t * x[1] - std::exp(t), b = x[2] + x[3] * std::sin(t) - std::cos(t);
    J(i, 0) = 2.0 * a, J(i, 1) = 2.0 * a * t, J(i, 2) = 2.0 * b, J(i, 3) = 2.0 * b * std::sin(t);
  }
}

}  // namespace

const std::vector<TestFunction>& minpack_problems() {
  static const std::vector<TestFunction> problems = {
      {"linear_full_rank", kLinearM, {1, 1, 1, 1, 1}, linear_full_rank_f, linear_full_rank_j, 5.0},
      {"rosenbrock", 2, {-1.2, 1}, rosenbrock_f, rosenbrock_j, 0.0},
      {"powell_singular", 4, {3, -1, 0, 1}, powell_singular_f, powell_singular_j, 0.0},
      {"freudenstein_roth", 2, {0.5, -2}, freudenstein_roth_f, freudenstein_roth_j, 48.9842},
      {"bard", kBardY.size(), {1, 1, 1}, bard_f, bard_j, 8.21487e-3},
      {"kowalik_osborne", kKowalikY.size(), {0.25, 0.39, 0.415, 0.39}, kowalik_osborne_f, kowalik_osborne_j,
       3.07505e-4},
      {"meyer", kMeyerY.size(), {0.02, 4000, 250}, meyer_f, meyer_j, 87.9458},
      {"jennrich_sampson", kJennrichM, {0.3, 0.4}, jennrich_sampson_f, jennrich_sampson_j, 124.362},
      {"brown_dennis", kBrownDennisM, {25, 5, -5, -1}, brown_dennis_f, brown_dennis_j, 85822.2},
  };
  return problems;
}

void PrintTo(const TestFunction& fn, std::ostream* os) { *os << fn.name; }

const TestFunction& minpack_problem(const char* name) {
  for (const TestFunction& fn : minpack_problems()) {
    if (std::strcmp(fn.name, name) == 0) return fn;
  }
  throw std::invalid_argument(name);
}

RecordingProblem::RecordingProblem(const TestFunction& fn, std::vector<double> start)
    : best_norm(std::numeric_limits<double>::infinity()),
      m_(fn.m),
      residual_fn_(fn.residuals),
      jacobian_fn_(fn.jacobian),
      x_(std::move(start)) {}

void RecordingProblem::set_params(std::span<const double> u) { x_.assign(u.begin(), u.end()); }

void RecordingProblem::residuals(std::span<double> out) {
  ++residual_calls;
  residual_fn_(x_, out);
  const double norm = lm::enorm(out);
  if (!std::isfinite(norm)) {
    ++non_finite_calls;
  } else if (norm < best_norm) {
    best_norm = norm;
  }
}

void RecordingProblem::jacobian(std::span<double> out) {
  jacobian_points.push_back(x_);
  jacobian_fn_(x_, out);
}

double residual_norm(const TestFunction& fn, std::span<const double> x) {
  std::vector<double> f(fn.m);
  fn.residuals(x, f);
  return lm::enorm(f);
}

double sum_of_squares(const TestFunction& fn, std::span<const double> x) {
  std::vector<double> f(fn.m);
  fn.residuals(x, f);
  double ssq = 0.0;
  for (double v : f) ssq += v * v;
  return ssq;
}

}  // namespace kelvra::testing
