#include "fit/matrix_inverse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kelvra {
namespace {

// The (2, -1) tridiagonal matrix of order n has the inverse
// min(i, j) (n + 1 - max(i, j)) / (n + 1), indices from 1.
TEST(InvertMatrix, TridiagonalAgainstClosedForm) {
  for (std::size_t n = 1; n <= 6; ++n) {
    std::vector<double> a(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      a[i * n + i] = 2.0;
      if (i + 1 < n) a[i * n + i + 1] = a[(i + 1) * n + i] = -1.0;
    }
    std::vector<double> inverse(n * n);
    ASSERT_TRUE(invert_matrix(a, n, inverse)) << "n = " << n;
    for (std::size_t i = 1; i <= n; ++i) {
      for (std::size_t j = 1; j <= n; ++j) {
        const double expected =
            static_cast<double>(std::min(i, j) * (n + 1 - std::max(i, j))) / static_cast<double>(n + 1);
        EXPECT_NEAR(inverse[(i - 1) * n + (j - 1)], expected, 1e-13) << "n = " << n;
      }
    }
  }
}

// A non-symmetric matrix with a zero leading entry, so LU has to pivot:
// A A^-1 must be the identity.
TEST(InvertMatrix, NonSymmetricNeedsPivoting) {
  for (std::size_t n = 2; n <= 6; ++n) {
    std::vector<double> a(n * n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) a[i * n + j] = i == j ? 0.5 * static_cast<double>(i) : 1.0 / (1.0 + i + 2.0 * j);
    }
    std::vector<double> inverse(n * n);
    ASSERT_TRUE(invert_matrix(a, n, inverse)) << "n = " << n;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        double product = 0.0;
        for (std::size_t k = 0; k < n; ++k) product += a[i * n + k] * inverse[k * n + j];
        EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-12) << "n = " << n << " (" << i << ", " << j << ")";
      }
    }
  }
}

TEST(InvertMatrix, SingularMatricesAreReported) {
  for (std::size_t n = 1; n <= 6; ++n) {
    std::vector<double> inverse(n * n);
    const std::vector<double> zero(n * n, 0.0);
    EXPECT_FALSE(invert_matrix(zero, n, inverse)) << "zero matrix, n = " << n;
    if (n < 2) continue;
    // Exactly representable entries with the last row equal to the first.
    std::vector<double> repeated(n * n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) repeated[i * n + j] = static_cast<double>((i % (n - 1)) * n + j + (i == j));
    }
    for (std::size_t j = 0; j < n; ++j) repeated[(n - 1) * n + j] = repeated[j];
    EXPECT_FALSE(invert_matrix(repeated, n, inverse)) << "repeated row, n = " << n;
  }
}

}  // namespace
}  // namespace kelvra
