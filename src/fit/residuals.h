// The one objective every fitting method minimises: the weighted residual
// vector [re0, im0, re1, im1, ...] of model minus measurement, its
// central-difference Jacobian and the shared evaluation counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/tree.h"
#include "elements/complex.h"
#include "fit/prepared_spectrum.h"

namespace kelvra {

// Counts residual vectors (not frequencies); becomes impedance_evals.
class EvalCounter {
 public:
  void add(std::uint64_t n) { count_.fetch_add(n); }
  std::uint64_t value() const { return count_.load(); }

 private:
  std::atomic<std::uint64_t> count_{0};
};

// Fills `out` (2K entries) and adds 1 to `counter`. `params` holds at least
// param_count(series) values.
void residuals(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
               EvalCounter& counter, std::span<double> out);

// ½ Σ r_i², summed in index order.
double half_sum_of_squares(std::span<const double> r);

// The cost ½ Σ r_i² of `params` (one counted evaluation); `scratch` holds
// the 2K residuals.
double cost_at(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
               EvalCounter& counter, std::span<double> scratch);

// The central-difference step for a parameter of value x:
// cbrt(eps) * max(|x|, 1e-8).
double central_difference_step(double x);

// Points x parameters below which a Jacobian is computed on the calling
// thread, because waking the worker pool costs more than sharing the columns
// saves. Measured on two busy cores: 50-point fits of 3 and 8 parameters
// (150, 400) ran 1.3 to 1.45 times faster with inline columns; around 1500
// the two tie within the noise; from about 3000 the pool is ahead.
inline constexpr std::size_t kParallelJacobianWork = 2000;

// Fills `out` column by column (n columns of 2K rows, n = params.size()),
// columns computed on the worker pool from kParallelJacobianWork points x
// parameters on, on the calling thread below it; adds 2n to `counter`. Each column
// re-evaluates only the leaf its parameter belongs to, yet holds the central
// difference of two `residuals` vectors at x_j + h and x_j - h.
void jacobian_columns(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                      EvalCounter& counter, std::span<double> out);

}  // namespace kelvra
