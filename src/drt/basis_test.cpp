#include "drt/basis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "drt/penalty.h"

namespace kelvra {
namespace {

// Composite Simpson on [-12/eps, 12/eps] with 20000 intervals: a brute
// force independent of the trapezoidal nodes.
BasisResponse brute_force(double shape, double w_tau) {
  const double half = 12.0 / shape;
  const int intervals = 20000;
  const double h = 2.0 * half / intervals;
  double re = 0.0;
  double im = 0.0;
  for (int i = 0; i <= intervals; ++i) {
    const double u = -half + i * h;
    const double weight = (i == 0 || i == intervals) ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0);
    const double t = w_tau * std::exp(u);
    const double g = std::exp(-(shape * u) * (shape * u)) / (1.0 + t * t);
    re += weight * g;
    im -= weight * g * t;
  }
  return {re * h / 3.0, im * h / 3.0};
}

struct BasisCase {
  double shape_factor;
  double w_tau;
};

class BasisIntegral : public ::testing::TestWithParam<BasisCase> {};

TEST_P(BasisIntegral, MatchesBruteForce) {
  const BasisCase c = GetParam();
  const TauGrid grid = make_tau_grid(1.0, 1e4, 10.0, 1.0, c.shape_factor);
  const std::size_t m = grid.size() / 2;
  const double omega = c.w_tau / std::exp(grid.log_tau[m]);
  const BasisResponse got = basis_response(grid, omega, m);
  const BasisResponse want = brute_force(grid.shape, c.w_tau);
  // Relative to the largest either part can be, the basis area.
  const double scale = grid.basis_area();
  EXPECT_NEAR(got.re, want.re, 1e-12 * scale);
  EXPECT_NEAR(got.im, want.im, 1e-12 * scale);
}

INSTANTIATE_TEST_SUITE_P(ShapesAndFrequencies, BasisIntegral,
                         ::testing::Values(BasisCase{1.0, 1e-4}, BasisCase{1.0, 0.3}, BasisCase{1.0, 1.0},
                                           BasisCase{1.0, 3.7}, BasisCase{1.0, 1e4}, BasisCase{0.5, 1.0},
                                           BasisCase{0.5, 0.05}, BasisCase{2.0, 1.0}, BasisCase{2.0, 20.0},
                                           BasisCase{4.0, 0.9}));

// Far below the arc the real part is the whole area and the imaginary part
// vanishes; the grid spans the band with its extension.
TEST(TauGrid, LimitsAndSpan) {
  const TauGrid grid = make_tau_grid(0.01, 1e5, 10.0, 1.0, 1.0);
  EXPECT_NEAR(std::exp(grid.log_tau.front()), 1.0 / (2 * std::numbers::pi * 1e5) / 10.0, 1e-20);
  EXPECT_NEAR(std::exp(grid.log_tau.back()) * 2 * std::numbers::pi * 0.01 / 10.0, 1.0, 1e-12);
  EXPECT_EQ(grid.size(), 91u);
  const BasisResponse low = basis_response(grid, 1e-9, 45);
  EXPECT_NEAR(low.re, grid.basis_area(), 1e-9 * grid.basis_area());
  EXPECT_NEAR(low.im, 0.0, 1e-6);
}

// The closed forms of the penalty against the integral of the squared
// derivative of a sum of two basis functions, by finite differences.
TEST(PenaltyMatrix, MatchesNumericalIntegral) {
  const TauGrid grid = make_tau_grid(1.0, 100.0, 10.0, 0.0, 1.0);
  const std::size_t p = grid.size();
  const std::size_t i = 3;
  const std::size_t j = 5;
  auto gamma = [&](double y) {
    auto phi = [&](std::size_t m) {
      const double s = grid.shape * (y - grid.log_tau[m]);
      return std::exp(-s * s);
    };
    return phi(i) + 0.5 * phi(j);
  };
  for (const PenaltyOrder order :
       {PenaltyOrder::Value, PenaltyOrder::FirstDerivative, PenaltyOrder::SecondDerivative}) {
    std::vector<double> m(p * p);
    penalty_matrix(grid, order, m);
    const double closed = m[i * p + i] + 0.25 * m[j * p + j] + 2.0 * 0.5 * m[i * p + j];
    const double h = 1e-3;
    double numeric = 0.0;
    for (double y = grid.log_tau[i] - 4.0; y < grid.log_tau[j] + 4.0; y += h) {
      double d = gamma(y);
      if (order == PenaltyOrder::FirstDerivative) d = (gamma(y + h) - gamma(y - h)) / (2 * h);
      if (order == PenaltyOrder::SecondDerivative) d = (gamma(y + h) - 2 * gamma(y) + gamma(y - h)) / (h * h);
      numeric += d * d * h;
    }
    EXPECT_NEAR(closed, numeric, 1e-4 * closed) << "order " << static_cast<int>(order);
  }
}

}  // namespace
}  // namespace kelvra
