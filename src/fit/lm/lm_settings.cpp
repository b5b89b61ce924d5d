// Validation of LmSettings, run once before a solver run starts.

#include <cmath>

#include "fit/lm/lm_solver.h"

namespace kelvra {

std::optional<std::string> check_lm_settings(const LmSettings& settings) {
  // The sign bit, not a comparison, decides: -0.0 and a negative NaN would
  // both pass `< 0` yet are not meaningful tolerances. A NaN of either sign
  // would make every test that compares with it false, so the fit would run
  // its whole budget however close it came.
  const auto refused = [](double tolerance) { return std::signbit(tolerance) || std::isnan(tolerance); };
  if (refused(settings.ftol)) {
    return "ftol must be >= 0";
  }
  if (refused(settings.xtol)) {
    return "xtol must be >= 0";
  }
  if (refused(settings.gtol)) {
    return "gtol must be >= 0";
  }
  if (!(settings.step_bound_factor > 0.0 && std::isfinite(settings.step_bound_factor))) {
    return "step_bound_factor must be positive and finite";
  }
  return std::nullopt;
}

}  // namespace kelvra
