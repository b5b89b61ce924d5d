// The one objective every fitting method minimises: the weighted residual
// vector [re0, im0, re1, im1, ...] of model minus measurement, its
// central-difference Jacobian and the shared evaluation counter.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/tree.h"
#include "elements/complex.h"
#include "fit/prepared_spectrum.h"
#include "support/central_difference.h"

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

// How a fit's Levenberg-Marquardt runs take their Jacobian.
//  CentralDifference: jacobian_columns, 2n counted evaluations.
//  Analytic: analytic_jacobian_columns, one counted evaluation. Its columns
//    differ from the central differences only by their truncation error, so
//    runs take about the same steps, at a fraction of the cost per step.
enum class JacobianMethod { CentralDifference, Analytic };

// The methods a caller may choose by name (Circuit.fit's `jacobian`). The
// first is the one a fit uses when none is named.
struct JacobianChoice {
  std::string_view name;
  JacobianMethod method;
  std::string_view summary;
};
inline constexpr std::array<JacobianChoice, 2> kJacobianChoices = {{
    {"central", JacobianMethod::CentralDifference,
     "central differences of the residual vector: 2n evaluations a step for n parameters"},
    {"analytic", JacobianMethod::Analytic,
     "the chain rule through the circuit with each element's derivatives: one evaluation a step"},
}};

// The Jacobian of `residuals` (same layout as jacobian_columns) by the chain
// rule through the circuit with each element's derivatives (LeafSpectra::
// derivatives); adds 1 to `counter`: one pass over the circuit with its
// derivatives, where central differences take 2n residual vectors. Computed
// on the calling thread.
void analytic_jacobian_columns(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                               EvalCounter& counter, std::span<double> out);

// The leaves of one point kept between its residual vector and its
// analytic Jacobian. A Levenberg-Marquardt run takes each Jacobian where it
// last evaluated residuals, so the leaf impedances, a residual vector's
// worth of work, are worked out once for both.
class AnalyticPoint {
 public:
  // residuals() at `params`: the same bits and one counted evaluation.
  void residuals(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                 EvalCounter& counter, std::span<double> out);
  // analytic_jacobian_columns() at `params`, from the kept leaves when
  // `params` are, bit for bit, those of the last residuals.
  void jacobian(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                EvalCounter& counter, std::span<double> out);

 private:
  LeafSpectra leaves_;
  std::vector<double> params_;  // where leaves_ hold the leaves; empty before any
};

}  // namespace kelvra
