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
#include <cmath>
#include <utility>

#include "fit/lm/lm_internal.h"
#include "support/vector_clones.h"

namespace kelvra::lm {
namespace {

// A downdated norm is trusted only while kDowndateSafety * (norm / norm
// before downdating)^2 stays above machine precision; below that, too few
// correct digits are left and the norm is recomputed from the column.
constexpr double kDowndateSafety = 0.05;

}  // namespace

KELVRA_VECTOR_CLONES
void qrfac(MatrixView a, std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
           std::span<double> wa) {
  const std::size_t m = a.rows;
  const std::size_t n = a.cols;

  for (std::size_t j = 0; j < n; ++j) {
    acnorm[j] = enorm(a.column(j));
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

      for (std::size_t k = j + 1; k < n; ++k) {
        const double temp = dot(&a(j, j), &a(j, k), m - j) / a(j, j);
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
    rdiag[j] = -ajnorm;
  }
}

}  // namespace kelvra::lm
