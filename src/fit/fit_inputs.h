// What every fitting method checks and derives first, before any
// evaluation.
#pragma once

#include <optional>
#include <vector>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/residuals.h"

namespace kelvra {

// LengthMismatch, EmptyData, NoParameters, in that order; nothing when the
// fit may go ahead.
std::optional<FitError> check_fit_inputs(const Series& circuit, const Spectrum& spectrum);

// 2*pi*f for every frequency, multiplied once per fit.
std::vector<double> angular_frequencies(const Spectrum& spectrum);

}  // namespace kelvra
