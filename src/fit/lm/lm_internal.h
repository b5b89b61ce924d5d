// The four kernels behind lm_minimize: the scaled Euclidean norm, the
// pivoted Householder QR, the damped least-squares solve that reuses it, and
// the search for the damping parameter. Shared by the solver and its tests;
// nothing outside src/fit/lm includes this header.
#pragma once

#include <array>
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

// Sums that run down a column of the Jacobian (a hundred rows and more) are
// split into kPartialSums interleaved partial sums, added pairwise at the
// end. In one running sum each addition waits for the one before, and on
// such columns that wait, not the arithmetic, is where the factorisation's
// time goes; partial sums overlap (and vectorise). Only the order of the
// additions changes, so the sum keeps its error bound.
inline constexpr std::size_t kPartialSums = 8;

// The sum of term(i) over i < count, in kPartialSums interleaved parts.
template <class Term>
inline double interleaved_sum(std::size_t count, Term term) {
  std::array<double, kPartialSums> partial{};
  std::size_t i = 0;
  for (; i + kPartialSums <= count; i += kPartialSums) {
    for (std::size_t p = 0; p < kPartialSums; ++p) partial[p] += term(i + p);
  }
  for (std::size_t p = 0; i < count; ++i, ++p) partial[p] += term(i);
  for (std::size_t width = kPartialSums / 2; width > 0; width /= 2) {
    for (std::size_t p = 0; p < width; ++p) partial[p] += partial[p + width];
  }
  return partial[0];
}

// x . y over `count` entries.
inline double dot(const double* x, const double* y, std::size_t count) {
  return interleaved_sum(count, [x, y](std::size_t i) { return x[i] * y[i]; });
}

double enorm(std::span<const double> x);

void qrfac(MatrixView a, std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
           std::span<double> wa);

void qrsolv(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> diag,
            std::span<const double> qtb, std::span<double> x, std::span<double> sdiag, std::span<double> wa);

void lmpar(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> diag,
           std::span<const double> qtb, double delta, double& par, std::span<double> x, std::span<double> sdiag,
           std::span<double> wa1, std::span<double> wa2);

}  // namespace kelvra::lm
