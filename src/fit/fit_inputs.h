// What every fitting method checks first, before any evaluation.
#pragma once

#include <optional>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/prepared_spectrum.h"

namespace kelvra {

// LengthMismatch, EmptyData, NoParameters, in that order; nothing when the
// fit may go ahead.
std::optional<FitError> check_fit_inputs(const Series& circuit, const Spectrum& spectrum);

}  // namespace kelvra
