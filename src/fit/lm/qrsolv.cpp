// qrsolv: given the pivoted QR factorisation A P = Q R of an m x n matrix,
// a diagonal matrix D and Q^T b, solves the damped least-squares problem
//
//   min || [A; D] x - [b; 0] ||
//
// by reducing [R; P^T D P] to the triangular S of (S^T S = P^T (A^T A +
// D D) P) with Givens rotations.
//
//   r      n x n upper triangle of R (r.rows is the leading dimension, at
//          least n). The upper triangle, diagonal included, is kept; the
//          strict lower triangle receives S^T without its diagonal.
//   ipvt   the column permutation of qrfac.
//   diag   n entries, the diagonal of D (in the order of the columns of A).
//   qtb    the first n entries of Q^T b.
//   x      output, n entries: the solution.
//   sdiag  output, n entries: the diagonal of S.
//   wa     work, n entries.
//
// Always ends normally. When S is singular the solution is the one with
// zero components beyond the first zero on the diagonal of S.

#include <cmath>

#include "fit/lm/lm_internal.h"
#include "support/vector_clones.h"

namespace kelvra::lm {
namespace {

// Within this range of the larger magnitude, a^2 + b^2 neither overflows
// nor loses the larger square to underflow.
constexpr double kDirectNormLow = 1e-150;
constexpr double kDirectNormHigh = 1e150;

struct Rotation {
  double cos;
  double sin;
};

// The rotation from the smaller of the ratios a/b and b/a, whose square
// under the root cannot overflow.
[[gnu::noinline]] Rotation givens_from_ratio(double a, double b, bool b_larger) {
  if (b_larger) {
    const double cotan = a / b;
    const double sin = 1.0 / std::sqrt(1.0 + cotan * cotan);
    return {sin * cotan, sin};
  }
  const double tan = b / a;
  const double cos = 1.0 / std::sqrt(1.0 + tan * tan);
  return {cos, cos * tan};
}

// The rotation that takes (a, b), b != 0, to (h, 0): cos = a / h and
// sin = b / h, h = sqrt(a^2 + b^2) with the sign of the larger of the two.
// From the smaller ratio, every rotation waits on a division, a root, a
// second division and a product in turn, and the next rotation waits on it;
// from a^2 + b^2, where that is safe, a root and two independent divisions
// remain, and no branch on which ratio is the smaller.
[[gnu::always_inline]] inline Rotation givens(double a, double b) {
  const bool b_larger = std::fabs(a) < std::fabs(b);
  const double larger = b_larger ? b : a;
  if (std::fabs(larger) > kDirectNormLow && std::fabs(larger) < kDirectNormHigh) [[likely]] {
    const double h = std::copysign(std::sqrt(a * a + b * b), larger);
    return {a / h, b / h};
  }
  return givens_from_ratio(a, b, b_larger);
}

}  // namespace

KELVRA_VECTOR_CLONES
void qrsolv(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> diag,
            std::span<const double> qtb, std::span<double> x, std::span<double> sdiag, std::span<double> wa) {
  const std::size_t n = r.cols;

  // Work on a copy of R in the lower triangle, its diagonal saved in x.
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j; i < n; ++i) {
      r(i, j) = r(j, i);
    }
    x[j] = r(j, j);
    wa[j] = qtb[j];
  }

  // Eliminate D one row at a time. Row j of D has a single non-zero entry,
  // in column j of the permuted problem.
  for (std::size_t j = 0; j < n; ++j) {
    const double dj = diag[ipvt[j]];
    if (dj != 0.0) {
      for (std::size_t k = j; k < n; ++k) {
        sdiag[k] = 0.0;
      }
      sdiag[j] = dj;

      // The rotations touch one entry of [Q^T b; 0] beyond the first n,
      // which starts at zero.
      double qtbpj = 0.0;
      for (std::size_t k = j; k < n; ++k) {
        if (sdiag[k] == 0.0) {
          continue;
        }
        const auto [cos, sin] = givens(r(k, k), sdiag[k]);

        r(k, k) = cos * r(k, k) + sin * sdiag[k];
        const double temp = cos * wa[k] + sin * qtbpj;
        qtbpj = -sin * wa[k] + cos * qtbpj;
        wa[k] = temp;

        for (std::size_t i = k + 1; i < n; ++i) {
          const double rik = cos * r(i, k) + sin * sdiag[i];
          sdiag[i] = -sin * r(i, k) + cos * sdiag[i];
          r(i, k) = rik;
        }
      }
    }
    // Keep the diagonal of S and restore that of R.
    sdiag[j] = r(j, j);
    r(j, j) = x[j];
  }

  // Back-substitution in S z = wa, stopping at the first zero pivot.
  std::size_t nsing = n;
  for (std::size_t j = 0; j < n; ++j) {
    if (sdiag[j] == 0.0 && nsing == n) {
      nsing = j;
    }
    if (nsing < n) {
      wa[j] = 0.0;
    }
  }
  for (std::size_t k = nsing; k-- > 0;) {
    double sum = 0.0;
    for (std::size_t i = k + 1; i < nsing; ++i) {
      sum += r(i, k) * wa[i];
    }
    wa[k] = (wa[k] - sum) / sdiag[k];
  }

  for (std::size_t j = 0; j < n; ++j) {
    x[ipvt[j]] = wa[j];
  }
}

}  // namespace kelvra::lm
