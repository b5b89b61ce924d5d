#include "drt/ridge_spectrum.h"

#include <algorithm>
#include <cmath>

#include "drt/symmetric_eigen.h"

namespace kelvra {

namespace {

// Lower Cholesky factor of the n x n matrix `a` into `l`; false on a pivot
// that is not positive.
bool cholesky(std::span<const double> a, std::size_t n, std::span<double> l) {
  std::fill(l.begin(), l.end(), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double sum = a[i * n + j];
      for (std::size_t q = 0; q < j; ++q) sum -= l[i * n + q] * l[j * n + q];
      if (i == j) {
        if (!(sum > 0.0)) return false;
        l[i * n + i] = std::sqrt(sum);
      } else {
        l[i * n + j] = sum / l[j * n + j];
      }
    }
  }
  return true;
}

// Solves l y = v in place (l lower, n x n).
void forward(std::span<const double> l, std::size_t n, std::span<double> v) {
  for (std::size_t i = 0; i < n; ++i) {
    double sum = v[i];
    for (std::size_t q = 0; q < i; ++q) sum -= l[i * n + q] * v[q];
    v[i] = sum / l[i * n + i];
  }
}

// Solves l^T y = v in place.
void backward(std::span<const double> l, std::size_t n, std::span<double> v) {
  for (std::size_t i = n; i-- > 0;) {
    double sum = v[i];
    for (std::size_t q = i + 1; q < n; ++q) sum -= l[q * n + i] * v[q];
    v[i] = sum / l[i * n + i];
  }
}

}  // namespace

std::optional<RidgeProblem> make_ridge_problem(std::span<const double> a, std::span<const double> b,
                                               std::size_t rows, std::size_t free_count, std::size_t size,
                                               std::span<const double> m) {
  RidgeProblem problem;
  problem.rows = rows;
  problem.free_count = free_count;
  problem.size = size;
  const std::size_t cols = free_count + size;
  std::vector<double> work(a.begin(), a.end());
  std::vector<double> rhs(b.begin(), b.end());
  // Householder reflections on the free columns, applied to every column
  // after them and to the right-hand side.
  for (std::size_t j = 0; j < free_count; ++j) {
    double norm2 = 0.0;
    for (std::size_t r = j; r < rows; ++r) norm2 += work[r * cols + j] * work[r * cols + j];
    if (!(norm2 > 0.0)) return std::nullopt;
    const double x0 = work[j * cols + j];
    const double alpha = x0 > 0.0 ? -std::sqrt(norm2) : std::sqrt(norm2);
    work[j * cols + j] -= alpha;
    const double beta = 1.0 / (norm2 - alpha * x0);
    for (std::size_t c = j + 1; c < cols; ++c) {
      double dot = 0.0;
      for (std::size_t r = j; r < rows; ++r) dot += work[r * cols + j] * work[r * cols + c];
      dot *= beta;
      for (std::size_t r = j; r < rows; ++r) work[r * cols + c] -= dot * work[r * cols + j];
    }
    double dot = 0.0;
    for (std::size_t r = j; r < rows; ++r) dot += work[r * cols + j] * rhs[r];
    dot *= beta;
    for (std::size_t r = j; r < rows; ++r) rhs[r] -= dot * work[r * cols + j];
    work[j * cols + j] = alpha;
  }
  problem.r_free.assign(free_count * free_count, 0.0);
  problem.r_cross.assign(free_count * size, 0.0);
  problem.q_rhs.assign(free_count, 0.0);
  for (std::size_t i = 0; i < free_count; ++i) {
    for (std::size_t j = i; j < free_count; ++j) problem.r_free[i * free_count + j] = work[i * cols + j];
    for (std::size_t j = 0; j < size; ++j) problem.r_cross[i * size + j] = work[i * cols + free_count + j];
    problem.q_rhs[i] = rhs[i];
  }
  const std::size_t reduced_rows = rows - free_count;
  problem.reduced.resize(reduced_rows * size);
  problem.reduced_rhs.resize(reduced_rows);
  for (std::size_t r = 0; r < reduced_rows; ++r) {
    for (std::size_t j = 0; j < size; ++j) problem.reduced[r * size + j] = work[(r + free_count) * cols + free_count + j];
    problem.reduced_rhs[r] = rhs[r + free_count];
  }
  problem.gram.assign(size * size, 0.0);
  problem.gram_rhs.assign(size, 0.0);
  problem.rhs_norm2 = 0.0;
  for (std::size_t r = 0; r < reduced_rows; ++r) {
    const double* row = &problem.reduced[r * size];
    const double br = problem.reduced_rhs[r];
    problem.rhs_norm2 += br * br;
    for (std::size_t i = 0; i < size; ++i) {
      problem.gram_rhs[i] += row[i] * br;
      for (std::size_t j = i; j < size; ++j) problem.gram[i * size + j] += row[i] * row[j];
    }
  }
  for (std::size_t i = 0; i < size; ++i) {
    for (std::size_t j = 0; j < i; ++j) problem.gram[i * size + j] = problem.gram[j * size + i];
  }
  double mean_diagonal = 0.0;
  for (std::size_t i = 0; i < size; ++i) mean_diagonal += m[i * size + i];
  mean_diagonal /= static_cast<double>(size);
  problem.penalty.assign(m.begin(), m.end());
  for (std::size_t i = 0; i < size; ++i) problem.penalty[i * size + i] += kPenaltyJitter * mean_diagonal;
  problem.factor.assign(size * size, 0.0);
  if (!cholesky(problem.penalty, size, problem.factor)) return std::nullopt;
  return problem;
}

double RidgeSpectrum::residual2(double lambda) const {
  double explained = 0.0;
  for (std::size_t i = 0; i < sigma2.size(); ++i) {
    const double d = sigma2[i] + lambda;
    explained += coef2[i] * (sigma2[i] + 2.0 * lambda) / (d * d);
  }
  return std::max(rhs_norm2 - explained, 0.0);
}

double RidgeSpectrum::influence_trace(double lambda) const {
  double trace = static_cast<double>(free_count);
  for (const double s : sigma2) trace += s / (s + lambda);
  return trace;
}

std::optional<RidgeSpectrum> ridge_spectrum(const RidgeProblem& problem) {
  const std::size_t p = problem.size;
  // K = L^-1 G L^-T: solve L W = G column by column (W = L^-1 G), then
  // K = L^-1 W^T, using G = G^T.
  std::vector<double> w(problem.gram);
  std::vector<double> column(p);
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t i = 0; i < p; ++i) column[i] = w[i * p + j];
    forward(problem.factor, p, column);
    for (std::size_t i = 0; i < p; ++i) w[i * p + j] = column[i];
  }
  std::vector<double> k(p * p);
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t i = 0; i < p; ++i) column[i] = w[j * p + i];
    forward(problem.factor, p, column);
    for (std::size_t i = 0; i < p; ++i) k[i * p + j] = column[i];
  }
  // Symmetrise what rounding left unequal.
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const double mean = 0.5 * (k[i * p + j] + k[j * p + i]);
      k[i * p + j] = mean;
      k[j * p + i] = mean;
    }
  }
  std::vector<double> g(problem.gram_rhs);
  forward(problem.factor, p, g);
  RidgeSpectrum spectrum;
  spectrum.sigma2.resize(p);
  if (!symmetric_eigen(k, p, spectrum.sigma2, g)) return std::nullopt;
  spectrum.coef2.resize(p);
  for (std::size_t i = 0; i < p; ++i) {
    spectrum.sigma2[i] = std::max(spectrum.sigma2[i], 0.0);
    spectrum.coef2[i] = g[i] * g[i];
  }
  spectrum.rhs_norm2 = problem.rhs_norm2;
  spectrum.rows = problem.rows;
  spectrum.free_count = problem.free_count;
  return spectrum;
}

bool ridge_solve(const RidgeProblem& problem, double lambda, std::span<double> x1) {
  const std::size_t p = problem.size;
  std::vector<double> a(p * p);
  for (std::size_t i = 0; i < p * p; ++i) a[i] = problem.gram[i] + lambda * problem.penalty[i];
  std::vector<double> l(p * p);
  if (!cholesky(a, p, l)) return false;
  std::copy(problem.gram_rhs.begin(), problem.gram_rhs.end(), x1.begin());
  forward(l, p, x1);
  backward(l, p, x1);
  return true;
}

void free_part(const RidgeProblem& problem, std::span<const double> x1, std::span<double> x0) {
  const std::size_t u = problem.free_count;
  const std::size_t p = problem.size;
  for (std::size_t i = u; i-- > 0;) {
    double sum = problem.q_rhs[i];
    for (std::size_t j = 0; j < p; ++j) sum -= problem.r_cross[i * p + j] * x1[j];
    for (std::size_t j = i + 1; j < u; ++j) sum -= problem.r_free[i * u + j] * x0[j];
    x0[i] = sum / problem.r_free[i * u + i];
  }
}

void stacked_system(const RidgeProblem& problem, double lambda, std::vector<double>& e, std::vector<double>& f) {
  const std::size_t p = problem.size;
  const std::size_t reduced_rows = problem.rows - problem.free_count;
  e.assign((reduced_rows + p) * p, 0.0);
  f.assign(reduced_rows + p, 0.0);
  std::copy(problem.reduced.begin(), problem.reduced.end(), e.begin());
  std::copy(problem.reduced_rhs.begin(), problem.reduced_rhs.end(), f.begin());
  const double root = std::sqrt(lambda);
  // Row i of L^T is column i of L.
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = i; j < p; ++j) e[(reduced_rows + i) * p + j] = root * problem.factor[j * p + i];
  }
}

}  // namespace kelvra
