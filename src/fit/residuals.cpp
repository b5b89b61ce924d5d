#include "fit/residuals.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "circuit/evaluate.h"
#include "support/interrupt.h"
#include "support/worker_pool.h"
#include "support/vector_clones.h"

namespace kelvra {
namespace {

// Model minus measurement over the weight, into 2K entries.
KELVRA_VECTOR_CLONES
void weighted_residuals(std::span<const Complex> model, const PreparedSpectrum& data, std::span<double> out) {
  const std::span<const Complex> measured = data.measured();
  const std::span<const double> weights = data.weights();
  for (std::size_t k = 0; k < measured.size(); ++k) {
    out[2 * k] = (model[k].re - measured[k].re) / weights[k];
    out[2 * k + 1] = (model[k].im - measured[k].im) / weights[k];
  }
}

// Everything a column task needs, behind one pointer: a lambda capturing just
// this fits std::function's inline storage, so dispatching the Jacobian does
// not allocate.
struct ColumnTask {
  const LeafSpectra& base;
  std::span<const double> params;
  const PreparedSpectrum& data;
  EvalCounter& counter;
  std::span<double> out;

  // The residual vector at params with params[j] = value: one counted
  // evaluation, whatever share of the circuit it re-evaluates.
  void residuals_with(std::size_t j, double value, std::span<double> r) const {
    poll_interrupt();
    // Per-thread scratch that only grows: after the first Jacobian of a fit
    // no column allocates.
    thread_local std::vector<Complex> model;
    model.resize(data.point_count());
    counter.add(1);
    base.spectrum_with(j, value, model);
    weighted_residuals(model, data, r);
  }

  void operator()(std::size_t j) const {
    thread_local std::vector<double> r_minus;
    const std::size_t m = data.residual_count();
    r_minus.resize(m);

    const double x = params[j];
    const double h = central_difference_step(x);
    // r+ goes straight into the output column and is differenced in place.
    const std::span<double> column = out.subspan(j * m, m);
    residuals_with(j, x + h, column);
    residuals_with(j, x - h, r_minus);

    // h + h rather than (x + h) - (x - h): the divisor is the nominal step.
    const double two_h = h + h;
    for (std::size_t i = 0; i < m; ++i) column[i] = (column[i] - r_minus[i]) / two_h;
  }
};

}  // namespace

void residuals(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
               EvalCounter& counter, std::span<double> out) {
  // Every fitting method spends its time in evaluations: polling here is
  // what makes each of them stoppable.
  poll_interrupt();
  counter.add(1);
  // Per-thread and only growing, like the Jacobian's scratch.
  thread_local std::vector<Complex> model;
  model.resize(data.point_count());
  spectrum_impedance_with_params(series, params, data.omega(), model);
  weighted_residuals(model, data, out);
}

double half_sum_of_squares(std::span<const double> r) {
  double sum = 0.0;
  for (const double v : r) sum += v * v;
  return 0.5 * sum;
}

double cost_at(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
               EvalCounter& counter, std::span<double> scratch) {
  residuals(series, params, data, counter, scratch);
  return half_sum_of_squares(scratch);
}

void jacobian_columns(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                      EvalCounter& counter, std::span<double> out) {
  // The leaves at the unperturbed params, computed once and read by every
  // column, which then re-evaluates only the leaf its parameter belongs to.
  // Per calling thread and only growing; a thread does not start another
  // Jacobian until every column of this one is done, so no column sees it
  // change.
  thread_local LeafSpectra base;
  base.assign(series, params, data.omega());
  const ColumnTask task{base, params, data, counter, out};
  // Each column is the same arithmetic on either path, so the threshold
  // changes the time, never a bit of the result.
  if (data.point_count() * params.size() < kParallelJacobianWork) {
    for (std::size_t j = 0; j < params.size(); ++j) task(j);
  } else {
    parallel_for(params.size(), [&task](std::size_t j) { task(j); });
  }
}

namespace {

// The analytic Jacobian from leaves assigned at a vector of n parameters:
// one counted evaluation.
KELVRA_VECTOR_CLONES
void jacobian_from_leaves(const LeafSpectra& leaves, std::size_t n, const PreparedSpectrum& data,
                          EvalCounter& counter, std::span<double> out) {
  poll_interrupt();
  counter.add(1);
  // Per thread and only growing, like the central difference's scratch.
  thread_local std::vector<Complex> derivatives;
  const std::size_t k_count = data.point_count();
  derivatives.resize(n * k_count);
  leaves.derivatives(n, data.log_omega(), derivatives);
  // Products rather than the residuals' quotients: a Jacobian is held to
  // its value, not to their bits.
  const std::span<const double> inverse_weights = data.inverse_weights();
  const std::size_t m = data.residual_count();
  for (std::size_t j = 0; j < n; ++j) {
    const Complex* d = derivatives.data() + j * k_count;
    double* column = out.data() + j * m;
    for (std::size_t k = 0; k < k_count; ++k) {
      column[2 * k] = d[k].re * inverse_weights[k];
      column[2 * k + 1] = d[k].im * inverse_weights[k];
    }
  }
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

void analytic_jacobian_columns(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                               EvalCounter& counter, std::span<double> out) {
  thread_local LeafSpectra leaves;
  leaves.assign(series, params, data.omega());
  jacobian_from_leaves(leaves, params.size(), data, counter, out);
}

void AnalyticPoint::residuals(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                              EvalCounter& counter, std::span<double> out) {
  poll_interrupt();
  counter.add(1);
  thread_local std::vector<Complex> model;
  model.resize(data.point_count());
  leaves_.assign(series, params, data.omega());
  params_.assign(params.begin(), params.end());
  leaves_.spectrum(model);
  weighted_residuals(model, data, out);
}

void AnalyticPoint::jacobian(const Series& series, std::span<const double> params, const PreparedSpectrum& data,
                             EvalCounter& counter, std::span<double> out) {
  if (!same_bits(params, params_)) {
    leaves_.assign(series, params, data.omega());
    params_.assign(params.begin(), params.end());
  }
  jacobian_from_leaves(leaves_, params.size(), data, counter, out);
}

}  // namespace kelvra
