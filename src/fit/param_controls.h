// What a user may hold or restrict in a fit besides the starting values the
// circuit carries: start values by name, parameters held fixed, and bounds
// tighter than the elements' physical ones. Validated once against the
// circuit before any evaluation; the Levenberg-Marquardt fit honours the
// result (the global methods take start values only).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "elements/element.h"
#include "fit/fit_outcome.h"
#include "support/result.h"

namespace kelvra {

struct NamedValue {
  std::string name;
  double value;
};

// A side left out keeps the physical bound.
struct NamedBounds {
  std::string name;
  std::optional<double> lo;
  std::optional<double> hi;
};

struct ParamControlRequest {
  std::vector<NamedValue> start;   // start values
  std::vector<NamedValue> fixed;   // held at these values
  std::vector<std::string> held;   // held at their start values
  std::vector<NamedBounds> bounds; // inside the physical bounds
  bool empty() const { return start.empty() && fixed.empty() && held.empty() && bounds.empty(); }
  // Whether anything beyond start values is asked for.
  bool restricts() const { return !fixed.empty() || !held.empty() || !bounds.empty(); }
};

// One entry per parameter, in parameter order.
struct ParamControls {
  std::vector<bool> fixed;
  std::vector<Bounds> bounds;  // the custom bounds where given, else the physical ones
  bool any_fixed() const;
};

struct ControlledStart {
  Series circuit;  // the start values and fixed values written in
  ParamControls controls;
};

// Validates `request` against `circuit` and writes its values in. Every
// failure is FitError InvalidSetting naming the argument and the parameter:
// an unknown name (with the closest name), a non-finite value, a value
// outside the parameter's bounds (never clamped: a start the user gave is
// meant as given), bounds that are empty or reach past the physical ones, a
// parameter given both a start and a fixed value.
Result<ControlledStart, FitError> apply_param_controls(const Series& circuit, const ParamControlRequest& request);

}  // namespace kelvra
