// Nonlinear least squares by the MINPACK lmder trust-region method, on an
// abstract problem. Knows nothing of circuits, bounds or weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kelvra {

class LeastSquaresProblem {
 public:
  virtual ~LeastSquaresProblem() = default;
  virtual std::size_t param_count() const = 0;
  virtual std::size_t residual_count() const = 0;
  virtual std::span<const double> params() const = 0;
  virtual void set_params(std::span<const double> u) = 0;
  // f(u) at the current params; entries may be NaN or infinite.
  virtual void residuals(std::span<double> out) = 0;
  // J(u) at the current params, column-major (column j holds m rows).
  virtual void jacobian(std::span<double> out) = 0;
  // Asked at the start point and after each accepted step, with |f|^2 at the
  // current params: true ends the run there (LmStop::Abandoned).
  virtual bool abandon_at(double /*sum_of_squares*/) { return false; }
  // Asked at the end of each lag window (LmSettings::lag_window) with the
  // sum of squares the run would reach after as many evaluations again as it
  // has taken, were it to keep falling at the window's rate: true ends the
  // run (LmStop::Abandoned).
  virtual bool abandon_heading_for(double /*sum_of_squares*/) { return false; }
  // Whether the current params lie beyond bounds that the caller clamps a
  // run's end point back to, so that |f|^2 there is not one the run can end
  // with; the settle test then takes LmSettings::settle_tolerance_beyond_bounds.
  virtual bool beyond_bounds() const { return false; }
};

struct LmSettings {
  // |actual reduction| <= ftol and predicted reduction <= ftol
  double ftol = 1e-8;
  // trust radius <= xtol * |D u|
  double xtol = 1e-8;
  // max_j |J_j . f| / (|J_j| |f|) <= gtol
  double gtol = 1e-8;
  // budget = patience * (n + 1) residual evaluations; at least 1
  std::uint32_t patience = 200;
  // initial trust radius = factor * |D u0| (factor itself when that is 0)
  double step_bound_factor = 100.0;
  // When not 0: the run also ends, converged, once |f|^2 fell by at most
  // settle_tolerance of itself over settle_window * (n + 1) evaluations,
  // tested at the end of each such window; where the problem's params are
  // beyond_bounds, by at most settle_tolerance_beyond_bounds over the
  // window ending at any accepted point.
  std::uint32_t settle_window = 0;
  double settle_tolerance = 0.0;
  double settle_tolerance_beyond_bounds = 0.0;
  // When not 0: after each lag_window * (n + 1) evaluations (at the next
  // accepted step) the problem is asked where the run is heading
  // (abandon_heading_for).
  std::uint32_t lag_window = 0;
};

// "ftol must be >= 0" (then xtol, gtol) for a tolerance with its sign bit
// set, -0.0 and negative NaN included; then a message for a step bound
// factor that is not positive and finite.
std::optional<std::string> check_lm_settings(const LmSettings& settings);

enum class LmStop {
  ZeroResiduals,
  GradientOrthogonal,
  ToleranceReached,
  Settled,
  EvaluationLimit,
  TolerancesTooTight,
  NonFinite,
  EmptyProblem,
  Abandoned,
};

constexpr bool is_success(LmStop stop) {
  return stop == LmStop::ZeroResiduals || stop == LmStop::GradientOrthogonal || stop == LmStop::ToleranceReached ||
         stop == LmStop::Settled;
}

struct LmReport {
  LmStop stop;
  std::uint64_t evaluations;  // start point plus one per trial point
};

// Minimises |f(u)|^2 from problem.params(); the problem ends holding the
// final vector. Settings must have passed check_lm_settings.
LmReport lm_minimize(LeastSquaresProblem& problem, const LmSettings& settings);

}  // namespace kelvra
