#include "fit/lm_problem.h"

#include <algorithm>
#include <utility>

#include "fit/search_coordinates.h"
#include "support/vector_clones.h"

namespace kelvra {
namespace {

// ln 10: d(10^u + lo)/du = 10^u ln 10 = (p - lo) ln 10, the chain-rule
// factor of an open parameter's column.
constexpr double kLn10 = 2.302585092994046;

KELVRA_VECTOR_CLONES
void scale(std::span<double> column, double factor) {
  for (double& entry : column) entry *= factor;
}

}  // namespace

LmProblem::LmProblem(const Series& circuit, const PreparedSpectrum& data, std::span<const Bounds> bounds,
                     std::span<const double> start, std::vector<bool> frozen, JacobianMethod jacobian,
                     EvalCounter& counter)
    : circuit_(circuit),
      data_(data),
      bounds_(bounds),
      u_(start.begin(), start.end()),
      physical_(start.size()),
      frozen_(std::move(frozen)),
      jacobian_(jacobian),
      counter_(counter) {
  frozen_.resize(u_.size(), false);
}

void LmProblem::set_params(std::span<const double> u) { std::copy(u.begin(), u.end(), u_.begin()); }

std::span<const double> LmProblem::physical() {
  to_physical(bounds_, u_, physical_);
  return physical_;
}

void LmProblem::residuals(std::span<double> out) {
  if (jacobian_ == JacobianMethod::Analytic) {
    analytic_.residuals(circuit_, physical(), data_, counter_, out);
  } else {
    kelvra::residuals(circuit_, physical(), data_, counter_, out);
  }
}

void LmProblem::jacobian(std::span<double> out) {
  const std::span<const double> p = physical();
  if (jacobian_ == JacobianMethod::Analytic) {
    analytic_.jacobian(circuit_, p, data_, counter_, out);
  } else {
    jacobian_columns(circuit_, p, data_, counter_, out);
  }
  const std::size_t m = residual_count();
  const std::size_t mapped = std::min(p.size(), bounds_.size());
  for (std::size_t j = 0; j < p.size(); ++j) {
    const std::span<double> column = out.subspan(j * m, m);
    if (frozen_[j]) {
      // Assigned rather than multiplied, so an infinite entry cannot leave
      // a NaN in a column meant to be inert.
      std::fill(column.begin(), column.end(), 0.0);
    } else if (j < mapped && is_open(bounds_[j])) {
      scale(column, (p[j] - bounds_[j].lo) * kLn10);
    }
  }
}

bool LmProblem::beyond_bounds() const {
  // A bounded parameter is searched as it is, so u holds its physical value;
  // an open one cannot pass its lower bound.
  const std::size_t mapped = std::min(u_.size(), bounds_.size());
  for (std::size_t j = 0; j < mapped; ++j) {
    if (frozen_[j] || is_open(bounds_[j])) continue;
    if (u_[j] < bounds_[j].lo || u_[j] > bounds_[j].hi) return true;
  }
  return false;
}

bool LmProblem::abandon_at(double sum_of_squares) {
  RunPaths* const paths = earlier_.paths;
  if (paths == nullptr) return false;
  if (paths->joins(u_, sum_of_squares)) return true;
  paths->record(u_, sum_of_squares);
  return false;
}

LmRun levenberg_marquardt_single_start(const Series& circuit, const PreparedSpectrum& data,
                                       std::span<const Bounds> bounds, std::span<const double> start,
                                       std::vector<bool> frozen, const LmSettings& settings, EvalCounter& counter,
                                       JacobianMethod jacobian, const EarlierRuns& earlier) {
  LmSettings run_settings = settings;
  run_settings.patience = std::max<std::uint32_t>(run_settings.patience, 1);
  LmProblem problem(circuit, data, bounds, start, std::move(frozen), jacobian, counter);
  problem.answer_to(earlier);
  const LmReport report = lm_minimize(problem, run_settings);
  const std::span<const double> p = problem.physical();
  return LmRun{{p.begin(), p.end()}, is_success(report.stop), report.evaluations, report.stop == LmStop::Abandoned};
}

}  // namespace kelvra
