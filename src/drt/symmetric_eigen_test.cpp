#include "drt/symmetric_eigen.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace kelvra {
namespace {

// g^T (A + s I)^-1 g by Gaussian elimination, for comparison.
double quadratic_form(std::vector<double> a, std::size_t n, double s, std::vector<double> g) {
  const std::vector<double> original = g;
  for (std::size_t i = 0; i < n; ++i) a[i * n + i] += s;
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t i = k + 1; i < n; ++i) {
      const double factor = a[i * n + k] / a[k * n + k];
      for (std::size_t j = k; j < n; ++j) a[i * n + j] -= factor * a[k * n + j];
      g[i] -= factor * g[k];
    }
  }
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = i + 1; j < n; ++j) g[i] -= a[i * n + j] * g[j];
    g[i] /= a[i * n + i];
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += original[i] * g[i];
  return sum;
}

// Sizes around the Householder loop's edges (1, 2, 3) and a DRT-like one;
// positive definite Gram matrices with eigenvalues over many decades.
class SymmetricEigen : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SymmetricEigen, SpectrumReproducesResolvent) {
  const std::size_t n = GetParam();
  std::mt19937_64 random(n);
  std::normal_distribution<double> normal;
  std::vector<double> b(n * n);
  for (double& v : b) v = normal(random);
  std::vector<double> a(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t k = 0; k < n; ++k) a[i * n + j] += b[i * n + k] * b[j * n + k] * std::pow(10.0, -double(k % 7));
    }
  }
  std::vector<double> g(n);
  for (double& v : g) v = normal(random);
  std::vector<double> work = a;
  std::vector<double> values(n);
  std::vector<double> c = g;
  ASSERT_TRUE(symmetric_eigen(work, n, values, c));
  double trace = 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    trace += a[i * n + i];
    sum += values[i];
  }
  EXPECT_NEAR(sum, trace, 1e-12 * trace);
  for (const double shift : {1e-3, 1.0, 1e3}) {
    double resolvent = 0.0;
    for (std::size_t i = 0; i < n; ++i) resolvent += c[i] * c[i] / (values[i] + shift);
    const double want = quadratic_form(a, n, shift, g);
    EXPECT_NEAR(resolvent, want, 1e-9 * std::abs(want)) << "shift " << shift;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SymmetricEigen, ::testing::Values(1, 2, 3, 4, 17, 91));

TEST(SymmetricEigenValues, DiagonalAndRepeated) {
  // Already diagonal, with a repeated value: no step may mix the vector.
  std::vector<double> a = {2, 0, 0, 0, 2, 0, 0, 0, -1};
  std::vector<double> values(3);
  std::vector<double> c = {1, 2, 3};
  ASSERT_TRUE(symmetric_eigen(a, 3, values, c));
  EXPECT_EQ(values, (std::vector<double>{2, 2, -1}));
  EXPECT_EQ(c, (std::vector<double>{1, 2, 3}));
}

}  // namespace
}  // namespace kelvra
