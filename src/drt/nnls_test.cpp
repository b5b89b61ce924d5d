#include "drt/nnls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace kelvra {
namespace {

// The Karush-Kuhn-Tucker conditions of min |E x - f|, x >= 0: x >= 0, the
// gradient E^T (f - E x) is zero where x > 0 and not positive where x = 0.
struct NnlsCase {
  std::size_t rows;
  std::size_t cols;
  unsigned seed;
};

class NnlsOptimality : public ::testing::TestWithParam<NnlsCase> {};

TEST_P(NnlsOptimality, SatisfiesKkt) {
  const NnlsCase c = GetParam();
  std::mt19937_64 random(c.seed);
  std::normal_distribution<double> normal;
  std::vector<double> e(c.rows * c.cols);
  std::vector<double> f(c.rows);
  for (double& v : e) v = normal(random);
  for (double& v : f) v = normal(random);
  const NnlsResult result = nnls(e, f, c.rows, c.cols);
  ASSERT_EQ(result.status, NnlsStatus::Converged);
  std::vector<double> residual(f);
  for (std::size_t r = 0; r < c.rows; ++r) {
    for (std::size_t j = 0; j < c.cols; ++j) residual[r] -= e[r * c.cols + j] * result.x[j];
  }
  std::size_t positive = 0;
  for (std::size_t j = 0; j < c.cols; ++j) {
    double gradient = 0.0;
    for (std::size_t r = 0; r < c.rows; ++r) gradient += e[r * c.cols + j] * residual[r];
    EXPECT_GE(result.x[j], 0.0);
    if (result.x[j] > 0.0) {
      ++positive;
      EXPECT_NEAR(gradient, 0.0, 1e-10) << "column " << j;
    } else {
      EXPECT_LE(gradient, 1e-10) << "column " << j;
    }
  }
  // Random data leaves some of each kind, or the test checks less than it says.
  EXPECT_GT(positive, 0u);
  EXPECT_LT(positive, c.cols);
}

INSTANTIATE_TEST_SUITE_P(RandomProblems, NnlsOptimality,
                         ::testing::Values(NnlsCase{20, 5, 1}, NnlsCase{50, 30, 2}, NnlsCase{200, 90, 3},
                                           NnlsCase{10, 10, 4}));

// An unconstrained minimiser that is already non-negative comes back as it is.
TEST(Nnls, FeasibleLeastSquaresIsKept) {
  const std::vector<double> e = {1, 0, 0, 2, 1, 1};
  const std::vector<double> x = {0.5, 2.0};
  std::vector<double> f(3);
  for (std::size_t r = 0; r < 3; ++r) f[r] = e[2 * r] * x[0] + e[2 * r + 1] * x[1];
  const NnlsResult result = nnls(e, f, 3, 2);
  EXPECT_NEAR(result.x[0], 0.5, 1e-14);
  EXPECT_NEAR(result.x[1], 2.0, 1e-14);
}

}  // namespace
}  // namespace kelvra
