#include "fit/param_controls.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "circuit/params.h"
#include "support/text.h"

namespace kelvra {
namespace {

FitError invalid(std::string text) { return FitError{fit_error::InvalidSetting{std::move(text)}}; }

std::string interval(const Bounds& bounds) {
  return "[" + format_number(bounds.lo) + ", " + format_number(bounds.hi) + "]";
}

// The position of `name`, or the error naming the closest parameter.
Result<std::size_t, FitError> position(std::span<const std::string> names, std::string_view argument,
                                       const std::string& name) {
  const auto found = std::find(names.begin(), names.end(), name);
  if (found != names.end()) return static_cast<std::size_t>(found - names.begin());
  std::string text = "unknown parameter " + debug_quoted(name) + " in " + std::string(argument);
  if (!names.empty()) {
    const auto closest = std::min_element(names.begin(), names.end(), [&](const auto& a, const auto& b) {
      return closest_param_name(name, a) < closest_param_name(name, b);
    });
    text += ", did you mean " + debug_quoted(*closest) + "?";
  }
  return fail(invalid(std::move(text)));
}

std::optional<FitError> check_value(std::string_view argument, const std::string& name, double value,
                                    const Bounds& bounds) {
  if (!std::isfinite(value)) {
    return invalid(std::string(argument) + " value of " + debug_quoted(name) + " must be finite, found " +
                   format_number(value));
  }
  if (value < bounds.lo || value > bounds.hi) {
    return invalid(std::string(argument) + " value " + format_number(value) + " of " + debug_quoted(name) +
                   " is outside its bounds " + interval(bounds));
  }
  return std::nullopt;
}

}  // namespace

bool ParamControls::any_fixed() const { return std::find(fixed.begin(), fixed.end(), true) != fixed.end(); }

Result<ControlledStart, FitError> apply_param_controls(const Series& circuit, const ParamControlRequest& request) {
  const std::vector<std::string> names = param_names(circuit);
  const std::vector<Bounds> physical = param_bounds(circuit);
  std::vector<double> values = param_values(circuit);
  ParamControls controls{std::vector<bool>(names.size(), false), physical};

  // Bounds first: start and fixed values are checked against them.
  for (const NamedBounds& given : request.bounds) {
    Result<std::size_t, FitError> j = position(names, "bounds", given.name);
    if (!j) return fail(j.error());
    const Bounds& limits = physical[j.value()];
    const Bounds wanted{given.lo.value_or(limits.lo), given.hi.value_or(limits.hi)};
    if (std::isnan(wanted.lo) || std::isnan(wanted.hi) || !(wanted.lo < wanted.hi)) {
      return fail(invalid("bounds of " + debug_quoted(given.name) + " must have lower < upper, found " +
                          interval(wanted)));
    }
    if (wanted.lo < limits.lo || wanted.hi > limits.hi) {
      return fail(invalid("bounds " + interval(wanted) + " of " + debug_quoted(given.name) +
                          " reach outside its physical bounds " + interval(limits)));
    }
    controls.bounds[j.value()] = wanted;
  }

  std::vector<bool> started(names.size(), false);
  for (const NamedValue& given : request.start) {
    Result<std::size_t, FitError> j = position(names, "start", given.name);
    if (!j) return fail(j.error());
    if (auto error = check_value("start", given.name, given.value, controls.bounds[j.value()])) {
      return fail(std::move(*error));
    }
    values[j.value()] = given.value;
    started[j.value()] = true;
  }
  for (const NamedValue& given : request.fixed) {
    Result<std::size_t, FitError> j = position(names, "fixed", given.name);
    if (!j) return fail(j.error());
    if (started[j.value()] && values[j.value()] != given.value) {
      return fail(invalid(debug_quoted(given.name) + " is given both a start value and a different fixed value"));
    }
    if (auto error = check_value("fixed", given.name, given.value, controls.bounds[j.value()])) {
      return fail(std::move(*error));
    }
    values[j.value()] = given.value;
    controls.fixed[j.value()] = true;
  }
  for (const std::string& name : request.held) {
    Result<std::size_t, FitError> j = position(names, "fixed", name);
    if (!j) return fail(j.error());
    // A value from the learned guess or the circuit must also lie inside
    // the bounds the user set, since the fit will not move it there.
    if (auto error = check_value("fixed", name, values[j.value()], controls.bounds[j.value()])) {
      return fail(std::move(*error));
    }
    controls.fixed[j.value()] = true;
  }
  return ControlledStart{rebuild(circuit, values), std::move(controls)};
}

}  // namespace kelvra
