// Inverse of a small dense square matrix, for the parameter covariance
// (J^T J)^-1 of a fit outcome.
#pragma once

#include <cstddef>
#include <span>

namespace kelvra {

// Orders up to this use the closed form by cofactors; larger ones LU.
inline constexpr std::size_t kMaxCofactorOrder = 4;

// Writes the inverse of the n x n row-major matrix `a` into `inverse` and
// returns true, or returns false when `a` is singular: a determinant of
// exactly 0 for n <= 4, a pivot of exactly 0 in LU with partial pivoting
// otherwise. Nothing else is checked, so an ill-conditioned matrix yields
// huge or NaN entries.
bool invert_matrix(std::span<const double> a, std::size_t n, std::span<double> inverse);

}  // namespace kelvra
