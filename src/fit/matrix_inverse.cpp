#include "fit/matrix_inverse.h"

#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace kelvra {
namespace {

using IndexList = std::array<std::size_t, kMaxCofactorOrder>;

// Determinant of the k x k submatrix of `a` (row stride n) on the listed
// rows and columns, by Laplace expansion along its first row. k <= 4 keeps
// the recursion to at most 24 products per term.
double minor_determinant(std::span<const double> a, std::size_t n, const std::size_t* rows, const IndexList& cols,
                         std::size_t k) {
  if (k == 0) return 1.0;
  double det = 0.0;
  double sign = 1.0;
  for (std::size_t c = 0; c < k; ++c) {
    IndexList rest{};
    for (std::size_t i = 0, o = 0; i < k; ++i) {
      if (i != c) rest[o++] = cols[i];
    }
    det += sign * a[rows[0] * n + cols[c]] * minor_determinant(a, n, rows + 1, rest, k - 1);
    sign = -sign;
  }
  return det;
}

// All indices but `skip` out of 0..n-1.
IndexList all_but(std::size_t n, std::size_t skip) {
  IndexList out{};
  for (std::size_t i = 0, o = 0; i < n; ++i) {
    if (i != skip) out[o++] = i;
  }
  return out;
}

// inverse_ji = (-1)^(i+j) M_ij / det, M_ij the minor without row i and
// column j.
bool invert_by_cofactors(std::span<const double> a, std::size_t n, std::span<double> inverse) {
  IndexList all{};
  for (std::size_t i = 0; i < n; ++i) all[i] = i;
  const double det = minor_determinant(a, n, all.data(), all, n);
  if (det == 0.0) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const IndexList rows = all_but(n, i);
    for (std::size_t j = 0; j < n; ++j) {
      const double sign = (i + j) % 2 == 0 ? 1.0 : -1.0;
      inverse[j * n + i] = sign * minor_determinant(a, n, rows.data(), all_but(n, j), n - 1) / det;
    }
  }
  return true;
}

// LU with partial pivoting (largest |entry| in the pivot column, the first
// such row on ties), then one forward and back substitution per column of
// the identity.
bool invert_by_lu(std::span<const double> a, std::size_t n, std::span<double> inverse) {
  std::vector<double> lu(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n * n));
  std::vector<std::size_t> perm(n);
  for (std::size_t i = 0; i < n; ++i) perm[i] = i;

  for (std::size_t k = 0; k < n; ++k) {
    std::size_t pivot = k;
    for (std::size_t i = k + 1; i < n; ++i) {
      if (std::abs(lu[i * n + k]) > std::abs(lu[pivot * n + k])) pivot = i;
    }
    if (lu[pivot * n + k] == 0.0) return false;
    if (pivot != k) {
      for (std::size_t j = 0; j < n; ++j) std::swap(lu[k * n + j], lu[pivot * n + j]);
      std::swap(perm[k], perm[pivot]);
    }
    for (std::size_t i = k + 1; i < n; ++i) {
      const double factor = lu[i * n + k] / lu[k * n + k];
      lu[i * n + k] = factor;
      for (std::size_t j = k + 1; j < n; ++j) lu[i * n + j] -= factor * lu[k * n + j];
    }
  }

  std::vector<double> column(n);
  for (std::size_t c = 0; c < n; ++c) {
    // Solve L y = P e_c (L unit lower), then U x = y.
    for (std::size_t i = 0; i < n; ++i) {
      double sum = perm[i] == c ? 1.0 : 0.0;
      for (std::size_t j = 0; j < i; ++j) sum -= lu[i * n + j] * column[j];
      column[i] = sum;
    }
    for (std::size_t i = n; i-- > 0;) {
      double sum = column[i];
      for (std::size_t j = i + 1; j < n; ++j) sum -= lu[i * n + j] * column[j];
      column[i] = sum / lu[i * n + i];
    }
    for (std::size_t i = 0; i < n; ++i) inverse[i * n + c] = column[i];
  }
  return true;
}

}  // namespace

bool invert_matrix(std::span<const double> a, std::size_t n, std::span<double> inverse) {
  return n <= kMaxCofactorOrder ? invert_by_cofactors(a, n, inverse) : invert_by_lu(a, n, inverse);
}

}  // namespace kelvra
