// lmpar: the Levenberg-Marquardt parameter. Given the pivoted QR
// factorisation A P = Q R of an m x n matrix, a positive diagonal D, Q^T b
// and a trust radius delta > 0, finds par >= 0 such that the solution x of
//
//   min || [A; sqrt(par) D] x - [b; 0] ||
//
// either has par = 0 and ||D x|| <= 1.1 delta (the Gauss-Newton step fits),
// or has par > 0 and | ||D x|| - delta | <= 0.1 delta.
//
//   r      n x n upper triangle of R (r.rows is the leading dimension). The
//          upper triangle is kept; the strict lower triangle receives the
//          S^T of the last qrsolv.
//   ipvt   the column permutation of qrfac.
//   diag   n positive entries, the diagonal of D.
//   qtb    the first n entries of Q^T b.
//   delta  the trust radius.
//   par    in: the starting estimate (the previous step's); out: the final
//          parameter.
//   x      output, n entries: the step for the final par.
//   sdiag  output, n entries: the diagonal of S for the final par.
//   wa1, wa2  work, n entries each.
//
// Ends after at most kMaxIterations safeguarded Newton steps on
// phi(par) = ||D x(par)|| - delta, which is convex and decreasing, kept
// inside the bracket [parl, paru]. A rank-deficient R is handled by zeroing
// the components of the Gauss-Newton step beyond its first zero pivot.
// NaN or infinite inputs yield a NaN or infinite step, never a fault.

#include <algorithm>
#include <cmath>

#include "fit/lm/lm_internal.h"
#include "support/vector_clones.h"

namespace kelvra::lm {
namespace {

constexpr int kMaxIterations = 10;
// Relative width of the band around delta that ends the search.
constexpr double kAcceptBand = 0.1;
// Fraction of the upper bound used when the iteration would start from 0.
constexpr double kStartFraction = 0.001;

}  // namespace

KELVRA_VECTOR_CLONES
void lmpar(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> diag,
           std::span<const double> qtb, double delta, double& par, std::span<double> x, std::span<double> sdiag,
           std::span<double> wa1, std::span<double> wa2) {
  const std::size_t n = r.cols;

  // Gauss-Newton direction; when R is singular, a least-squares solution
  // with zeros from the first zero pivot on.
  std::size_t nsing = n;
  for (std::size_t j = 0; j < n; ++j) {
    wa1[j] = qtb[j];
    if (r(j, j) == 0.0 && nsing == n) {
      nsing = j;
    }
    if (nsing < n) {
      wa1[j] = 0.0;
    }
  }
  for (std::size_t j = nsing; j-- > 0;) {
    wa1[j] /= r(j, j);
    const double temp = wa1[j];
    for (std::size_t i = 0; i < j; ++i) {
      wa1[i] -= r(i, j) * temp;
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    x[ipvt[j]] = wa1[j];
  }

  for (std::size_t j = 0; j < n; ++j) {
    wa2[j] = diag[j] * x[j];
  }
  double dxnorm = enorm(wa2.first(n));
  double fp = dxnorm - delta;
  if (fp <= kAcceptBand * delta) {
    par = 0.0;
    return;
  }

  // Lower bound: with R of full rank, the Newton step of phi from 0 is a
  // lower bound on the root (phi is convex). dxnorm > 1.1 delta > 0 here.
  double parl = 0.0;
  if (nsing == n) {
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t l = ipvt[j];
      wa1[j] = diag[l] * (wa2[l] / dxnorm);
    }
    for (std::size_t j = 0; j < n; ++j) {
      double sum = 0.0;
      for (std::size_t i = 0; i < j; ++i) {
        sum += r(i, j) * wa1[i];
      }
      wa1[j] = (wa1[j] - sum) / r(j, j);
    }
    const double temp = enorm(wa1.first(n));
    parl = ((fp / delta) / temp) / temp;
  }

  // Upper bound: ||D^-1 A^T b|| / delta.
  for (std::size_t j = 0; j < n; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i <= j; ++i) {
      sum += r(i, j) * qtb[i];
    }
    wa1[j] = sum / diag[ipvt[j]];
  }
  const double gnorm = enorm(wa1.first(n));
  double paru = gnorm / delta;
  if (paru == 0.0) {
    paru = kDwarf / std::min(delta, kAcceptBand);
  }

  // Start from the caller's par moved into the bracket.
  par = std::min(std::max(par, parl), paru);
  if (par == 0.0) {
    par = gnorm / dxnorm;
  }

  for (int iter = 1;; ++iter) {
    if (par == 0.0) {
      par = std::max(kDwarf, kStartFraction * paru);
    }
    const double root = std::sqrt(par);
    for (std::size_t j = 0; j < n; ++j) {
      wa1[j] = root * diag[j];
    }
    qrsolv(r, ipvt, wa1, qtb, x, sdiag, wa2);
    for (std::size_t j = 0; j < n; ++j) {
      wa2[j] = diag[j] * x[j];
    }
    dxnorm = enorm(wa2.first(n));
    const double fp_before = fp;
    fp = dxnorm - delta;

    // Done when inside the band, when phi keeps falling below delta from a
    // zero lower bound (the root is then at or below the current par), or
    // out of iterations. A step that underflowed to zero cannot be
    // normalised for the Newton correction (0/0), so it ends the search too.
    if (std::fabs(fp) <= kAcceptBand * delta || (parl == 0.0 && fp <= fp_before && fp_before < 0.0) ||
        iter == kMaxIterations || dxnorm == 0.0) {
      return;
    }

    // Newton correction, through S^T y = P^T D^2 x / ||D x||.
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t l = ipvt[j];
      wa1[j] = diag[l] * (wa2[l] / dxnorm);
    }
    for (std::size_t j = 0; j < n; ++j) {
      wa1[j] /= sdiag[j];
      const double temp = wa1[j];
      for (std::size_t i = j + 1; i < n; ++i) {
        wa1[i] -= r(i, j) * temp;
      }
    }
    const double temp = enorm(wa1.first(n));
    const double parc = ((fp / delta) / temp) / temp;

    if (fp > 0.0) {
      parl = std::max(parl, par);
    }
    if (fp < 0.0) {
      paru = std::min(paru, par);
    }
    par = std::max(parl, par + parc);
  }
}

}  // namespace kelvra::lm
