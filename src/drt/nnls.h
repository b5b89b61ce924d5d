// Non-negative least squares, min |E x - f| subject to x >= 0, by the
// active-set method of Lawson and Hanson (Solving Least Squares Problems,
// 1974, ch. 23), on the Gram form G = E^T E, h = E^T f (Bro and De Jong,
// J. Chemometrics 11, 1997): every trial solve is a Cholesky factorisation
// of the passive block of G, a few hundred times cheaper than a QR of the
// passive columns of E. The final passive set is solved once more by
// Householder QR on E itself, so that the answer carries the accuracy of
// the stacked system rather than that of its Gram matrix.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kelvra {

enum class NnlsStatus { Converged, IterationLimit, Singular };

struct NnlsResult {
  std::vector<double> x;
  NnlsStatus status = NnlsStatus::Converged;
};

// The active set gains one index per outer step; a problem whose every
// index enters, leaves and enters again stops after this many times its
// size.
inline constexpr std::size_t kNnlsStepsPerUnknown = 3;

// e: rows x cols, row-major; f: rows. Returns the minimiser with every
// entry >= 0. Singular when a passive block lost positive definiteness
// (columns of E that are linearly dependent); IterationLimit when the
// outer steps ran out. Either way x is the last feasible iterate.
NnlsResult nnls(std::span<const double> e, std::span<const double> f, std::size_t rows, std::size_t cols);

}  // namespace kelvra
