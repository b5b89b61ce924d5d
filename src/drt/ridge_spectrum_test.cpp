#include "drt/ridge_spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "drt/lambda_choice.h"
#include "drt/penalty.h"

namespace kelvra {
namespace {

// Solves a x = b for several right-hand sides (columns of b, n x k) by
// Gaussian elimination with partial pivoting; a is n x n.
std::vector<double> solve(std::vector<double> a, std::vector<double> b, std::size_t n, std::size_t k) {
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < n; ++r) {
      if (std::abs(a[r * n + c]) > std::abs(a[pivot * n + c])) pivot = r;
    }
    for (std::size_t j = 0; j < n; ++j) std::swap(a[c * n + j], a[pivot * n + j]);
    for (std::size_t j = 0; j < k; ++j) std::swap(b[c * k + j], b[pivot * k + j]);
    for (std::size_t r = c + 1; r < n; ++r) {
      const double factor = a[r * n + c] / a[c * n + c];
      for (std::size_t j = c; j < n; ++j) a[r * n + j] -= factor * a[c * n + j];
      for (std::size_t j = 0; j < k; ++j) b[r * k + j] -= factor * b[c * k + j];
    }
  }
  for (std::size_t c = n; c-- > 0;) {
    for (std::size_t j = 0; j < k; ++j) {
      double sum = b[c * k + j];
      for (std::size_t q = c + 1; q < n; ++q) sum -= a[c * n + q] * b[q * k + j];
      b[c * k + j] = sum / a[c * n + c];
    }
  }
  return b;
}

// The residual and influence trace that the spectrum gives in O(p) per
// lambda, and the solution ridge_solve and free_part give, against the
// normal equations of the whole penalised system solved directly.
TEST(RidgeSpectrum, MatchesDirectRegularisedSolve) {
  const TauGrid grid = make_tau_grid(1.0, 1e3, 5.0, 0.0, 1.0);
  const std::size_t p = grid.size();
  const std::size_t u = 2;
  const std::size_t rows = 40;
  const std::size_t cols = u + p;
  std::vector<double> m(p * p);
  penalty_matrix(grid, PenaltyOrder::FirstDerivative, m);
  std::mt19937_64 random(5);
  std::normal_distribution<double> normal;
  std::vector<double> a(rows * cols);
  std::vector<double> b(rows);
  for (double& v : a) v = normal(random);
  for (double& v : b) v = normal(random);
  const std::optional<RidgeProblem> problem = make_ridge_problem(a, b, rows, u, p, m);
  ASSERT_TRUE(problem);
  const std::optional<RidgeSpectrum> spectrum = ridge_spectrum(*problem);
  ASSERT_TRUE(spectrum);
  for (const double lambda : {1e-6, 1e-2, 1.0, 1e2}) {
    // F = A^T A + lambda diag(0, M + jitter); x = F^-1 A^T b; tr H = tr(F^-1 A^T A).
    std::vector<double> gram(cols * cols, 0.0);
    std::vector<double> rhs(cols, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t i = 0; i < cols; ++i) {
        rhs[i] += a[r * cols + i] * b[r];
        for (std::size_t j = 0; j < cols; ++j) gram[i * cols + j] += a[r * cols + i] * a[r * cols + j];
      }
    }
    std::vector<double> f = gram;
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t j = 0; j < p; ++j) f[(u + i) * cols + u + j] += lambda * problem->penalty[i * p + j];
    }
    const std::vector<double> x = solve(f, rhs, cols, 1);
    const std::vector<double> influence = solve(f, gram, cols, cols);
    double trace = 0.0;
    for (std::size_t i = 0; i < cols; ++i) trace += influence[i * cols + i];
    double residual2 = 0.0;
    for (std::size_t r = 0; r < rows; ++r) {
      double fitted = 0.0;
      for (std::size_t j = 0; j < cols; ++j) fitted += a[r * cols + j] * x[j];
      residual2 += (fitted - b[r]) * (fitted - b[r]);
    }
    EXPECT_NEAR(spectrum->residual2(lambda), residual2, 1e-9 * residual2) << "lambda " << lambda;
    EXPECT_NEAR(spectrum->influence_trace(lambda), trace, 1e-9 * trace) << "lambda " << lambda;
    std::vector<double> x1(p);
    std::vector<double> x0(u);
    ASSERT_TRUE(ridge_solve(*problem, lambda, x1));
    free_part(*problem, x1, x0);
    for (std::size_t j = 0; j < u; ++j) EXPECT_NEAR(x0[j], x[j], 1e-8 * (1.0 + std::abs(x[j])));
    for (std::size_t j = 0; j < p; ++j) EXPECT_NEAR(x1[j], x[u + j], 1e-8 * (1.0 + std::abs(x[u + j])));
  }
}

// The search finds the minimum of a smooth score inside the range to its
// tolerance, and stays on the edge when the score falls all the way there.
TEST(MinimiseOverLambda, InteriorAndEdgeMinima) {
  const double interior = minimise_over_lambda([](double lambda) {
    const double d = std::log10(lambda) + 3.3;
    return d * d;
  });
  EXPECT_NEAR(std::log10(interior), -3.3, kLog10Tolerance);
  const double edge = minimise_over_lambda([](double lambda) { return lambda; });
  EXPECT_NEAR(std::log10(edge), std::log10(kLambdaMin), kLog10Tolerance);
}

}  // namespace
}  // namespace kelvra
