// Eigenvalues of a dense symmetric matrix, and a vector carried into its
// eigenbasis, without forming the eigenvectors: the regularisation-parameter
// search needs the spectrum of the standard-form Gram matrix and the
// coordinates of its right-hand side, nothing else.
#pragma once

#include <cstddef>
#include <span>

namespace kelvra {

// The QL sweeps stop after this many implicit steps per eigenvalue on
// average; the Wilkinson shift converges cubically, so two or three
// suffice in practice.
inline constexpr std::size_t kMaxEigenStepsPerValue = 30;

// a: n x n, row-major, symmetric; destroyed. On success writes the
// eigenvalues to `values` (unordered) and replaces `vector` by V^T vector,
// where a = V diag(values) V^T, entry i belonging to values[i]; returns
// true. Returns false when the implicit QR steps did not converge.
//
// Householder reduction to tridiagonal form (the reflections applied to
// `vector` as they are made), then implicit symmetric QR steps with the
// Wilkinson shift on the tridiagonal matrix, each Givens rotation applied to
// `vector` too (Golub and Van Loan, Matrix Computations, 8.3).
bool symmetric_eigen(std::span<double> a, std::size_t n, std::span<double> values, std::span<double> vector);

}  // namespace kelvra
