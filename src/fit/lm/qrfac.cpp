// qrfac: Householder QR factorisation with column pivoting, A P = Q R.
//
//   a       m x n matrix (m = a.rows, n = a.cols). On return its strict
//           upper trapezoid holds R without its diagonal, and column j, rows
//           j..m-1, holds the vector u of the j-th reflection
//           I - u u^T / u[j]; Q is the product of the reflections in order.
//   ipvt    output, n entries: column j of A P is column ipvt[j] of A.
//   rdiag   output, n entries: the diagonal of R.
//   acnorm  output, n entries: the Euclidean norms of the columns of the
//           input A.
//   wa      work, n entries.
//
// Always ends normally. At step j the remaining column of largest partial
// norm is moved into place, so |rdiag| is non-increasing and a rank
// deficiency shows as trailing zeros. Partial norms are downdated after
// each reflection and recomputed when cancellation has eaten their accuracy.

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "fit/lm/lm_internal.h"

namespace kelvra::lm {
namespace {

// A downdated norm is trusted only while kDowndateSafety * (norm / norm
// before downdating)^2 stays above machine precision; below that, too few
// correct digits are left and the norm is recomputed from the column.
constexpr double kDowndateSafety = 0.05;

// Columns whose products with a reflection vector are summed together. Each
// sum still runs down its own column in row order, the bits of one column at
// a time, but four independent chains of additions overlap instead of each
// waiting on the one before; the products are most of the factorisation.
constexpr std::size_t kColumnsAtOnce = 4;

// sum over rows i >= j of a(i, j) a(i, k) for the `count` <= kColumnsAtOnce
// columns k from `first`.
std::array<double, kColumnsAtOnce> reflection_products(MatrixView a, std::size_t j, std::size_t first,
                                                      std::size_t count) {
  std::array<double, kColumnsAtOnce> sums{};
  const double* u = &a(0, j);
  if (count == kColumnsAtOnce) {
    const double* c0 = &a(0, first);
    const double* c1 = &a(0, first + 1);
    const double* c2 = &a(0, first + 2);
    const double* c3 = &a(0, first + 3);
    for (std::size_t i = j; i < a.rows; ++i) {
      sums[0] += u[i] * c0[i];
      sums[1] += u[i] * c1[i];
      sums[2] += u[i] * c2[i];
      sums[3] += u[i] * c3[i];
    }
    return sums;
  }
  for (std::size_t c = 0; c < count; ++c) {
    const double* column = &a(0, first + c);
    for (std::size_t i = j; i < a.rows; ++i) sums[c] += u[i] * column[i];
  }
  return sums;
}

}  // namespace

void qrfac(MatrixView a, std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
           std::span<double> wa) {
  const std::size_t m = a.rows;
  const std::size_t n = a.cols;

  column_norms(a, acnorm);
  for (std::size_t j = 0; j < n; ++j) {
    rdiag[j] = acnorm[j];
    wa[j] = rdiag[j];
    ipvt[j] = j;
  }

  const std::size_t minmn = std::min(m, n);
  for (std::size_t j = 0; j < minmn; ++j) {
    std::size_t kmax = j;
    for (std::size_t k = j; k < n; ++k) {
      if (rdiag[k] > rdiag[kmax]) {
        kmax = k;
      }
    }
    if (kmax != j) {
      std::swap_ranges(a.column(j).begin(), a.column(j).end(), a.column(kmax).begin());
      rdiag[kmax] = rdiag[j];
      wa[kmax] = wa[j];
      std::swap(ipvt[j], ipvt[kmax]);
    }

    // Reflect column j onto a multiple of the j-th unit vector. The sign of
    // ajnorm follows a(j, j) so that a(j, j) + 1 below cannot cancel.
    const std::span<double> below = a.column(j).subspan(j);
    double ajnorm = enorm(below);
    if (ajnorm != 0.0) {
      if (a(j, j) < 0.0) {
        ajnorm = -ajnorm;
      }
      for (double& v : below) {
        v /= ajnorm;
      }
      a(j, j) += 1.0;

      for (std::size_t first = j + 1; first < n; first += kColumnsAtOnce) {
        const std::size_t count = std::min(kColumnsAtOnce, n - first);
        const std::array<double, kColumnsAtOnce> sums = reflection_products(a, j, first, count);
        for (std::size_t c = 0; c < count; ++c) {
          const std::size_t k = first + c;
          const double temp = sums[c] / a(j, j);
          for (std::size_t i = j; i < m; ++i) {
            a(i, k) -= temp * a(i, j);
          }

          if (rdiag[k] != 0.0) {
            const double ratio = a(j, k) / rdiag[k];
            rdiag[k] *= std::sqrt(std::max(0.0, 1.0 - ratio * ratio));
            const double shrink = rdiag[k] / wa[k];
            if (kDowndateSafety * shrink * shrink <= kEpsmch) {
              rdiag[k] = enorm(a.column(k).subspan(j + 1));
              wa[k] = rdiag[k];
            }
          }
        }
      }
    }
    rdiag[j] = -ajnorm;
  }
}

}  // namespace kelvra::lm
