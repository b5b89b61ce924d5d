#include "drt/basis.h"

#include <cmath>
#include <numbers>

namespace kelvra {

namespace {

// The trapezoidal rule on the whole line converges geometrically for
// integrands analytic in a strip: the Gaussian is entire and 1 / (1 + e^2u)
// has its nearest poles pi/2 off the real axis. With the step h = 0.4 / eps
// the error bound, weighing the Gaussian's growth exp(eps^2 d^2) inside the
// strip against exp(-2 pi d / h), stays below e^-50 for every eps, because
// both exponents scale alike with eps.
constexpr double kStepTimesShape = 0.4;
// Nodes reach |eps u| = 6.2, where the Gaussian is below 2e-17 of its peak.
constexpr double kGaussianCutoff = 6.2;
constexpr int kHalfNodes = static_cast<int>(kGaussianCutoff / kStepTimesShape) + 1;

struct Nodes {
  double weight[2 * kHalfNodes + 1];  // h exp(-(eps u_j)^2)
  double growth[2 * kHalfNodes + 1];  // e^{u_j}
};

Nodes quadrature_nodes(double shape) {
  Nodes nodes{};
  const double h = kStepTimesShape / shape;
  for (int j = -kHalfNodes; j <= kHalfNodes; ++j) {
    const double u = j * h;
    const double scaled = shape * u;
    nodes.weight[j + kHalfNodes] = h * std::exp(-scaled * scaled);
    nodes.growth[j + kHalfNodes] = std::exp(u);
  }
  return nodes;
}

BasisResponse integrate(const Nodes& nodes, double w_tau) {
  double re = 0.0;
  double im = 0.0;
  for (int j = 0; j < 2 * kHalfNodes + 1; ++j) {
    const double t = w_tau * nodes.growth[j];
    const double inverse = nodes.weight[j] / (1.0 + t * t);
    re += inverse;
    im -= inverse * t;
  }
  return {re, im};
}

}  // namespace

double TauGrid::basis_area() const { return std::sqrt(std::numbers::pi) / shape; }

TauGrid make_tau_grid(double f_min, double f_max, double points_per_decade, double extension_decades,
                      double shape_factor) {
  const double two_pi = 2.0 * std::numbers::pi;
  const double ln10 = std::numbers::ln10;
  const double low = std::log(1.0 / (two_pi * f_max)) - extension_decades * ln10;
  const double high = std::log(1.0 / (two_pi * f_min)) + extension_decades * ln10;
  const double decades = (high - low) / ln10;
  const auto intervals = static_cast<std::size_t>(std::ceil(decades * points_per_decade - 1e-9));
  TauGrid grid;
  grid.spacing = (high - low) / static_cast<double>(intervals);
  grid.shape = shape_factor / grid.spacing;
  grid.log_tau.resize(intervals + 1);
  for (std::size_t m = 0; m <= intervals; ++m) grid.log_tau[m] = low + static_cast<double>(m) * grid.spacing;
  grid.log_tau.back() = high;
  return grid;
}

BasisResponse basis_response(const TauGrid& grid, double omega, std::size_t m) {
  return integrate(quadrature_nodes(grid.shape), omega * std::exp(grid.log_tau[m]));
}

void basis_matrices(const TauGrid& grid, std::span<const double> omega, std::span<double> re,
                    std::span<double> im) {
  const Nodes nodes = quadrature_nodes(grid.shape);
  const std::size_t columns = grid.size();
  std::vector<double> tau(columns);
  for (std::size_t m = 0; m < columns; ++m) tau[m] = std::exp(grid.log_tau[m]);
  for (std::size_t n = 0; n < omega.size(); ++n) {
    for (std::size_t m = 0; m < columns; ++m) {
      const BasisResponse response = integrate(nodes, omega[n] * tau[m]);
      re[n * columns + m] = response.re;
      im[n * columns + m] = response.im;
    }
  }
}

void evaluate_gamma(const TauGrid& grid, std::span<const double> x, std::span<const double> log_tau,
                    std::span<double> gamma) {
  for (std::size_t i = 0; i < log_tau.size(); ++i) {
    double sum = 0.0;
    for (std::size_t m = 0; m < grid.size(); ++m) {
      const double scaled = grid.shape * (log_tau[i] - grid.log_tau[m]);
      if (std::abs(scaled) < kGaussianCutoff) sum += x[m] * std::exp(-scaled * scaled);
    }
    gamma[i] = sum;
  }
}

}  // namespace kelvra
