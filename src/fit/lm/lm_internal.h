// The four kernels behind lm_minimize: the scaled Euclidean norm, the
// pivoted Householder QR, the damped least-squares solve that reuses it, and
// the search for the damping parameter. Shared by the solver and its tests;
// nothing outside src/fit/lm includes this header.
#pragma once

#include <cfloat>
#include <cstddef>
#include <span>

namespace kelvra::lm {

// Machine precision of double: the smallest relative spacing of doubles.
inline constexpr double kEpsmch = DBL_EPSILON;
// Smallest positive normal double; a norm at or below it counts as zero.
inline constexpr double kDwarf = DBL_MIN;

// A column-major matrix over borrowed storage: element (i, j) lives at
// data[i + j * rows], so `rows` is also the leading dimension.
struct MatrixView {
  std::span<double> data;
  std::size_t rows;
  std::size_t cols;

  double& operator()(std::size_t i, std::size_t j) const { return data[i + j * rows]; }
  std::span<double> column(std::size_t j) const { return data.subspan(j * rows, rows); }
};

double enorm(std::span<const double> x);

// norms[j] = enorm(a.column(j)) for every column of `a`, bit for bit.
void column_norms(MatrixView a, std::span<double> norms);

void qrfac(MatrixView a, std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
           std::span<double> wa);

void qrsolv(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> diag,
            std::span<const double> qtb, std::span<double> x, std::span<double> sdiag, std::span<double> wa);

void lmpar(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> diag,
           std::span<const double> qtb, double delta, double& par, std::span<double> x, std::span<double> sdiag,
           std::span<double> wa1, std::span<double> wa2);

}  // namespace kelvra::lm
