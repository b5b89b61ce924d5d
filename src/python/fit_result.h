// `FitResult`: the Python record of a finished fit. It keeps the outcome and
// hands out copies (a new Circuit, new dicts) on every attribute read.
#pragma once

#include "fit/fit_outcome.h"
#include "fit/prepared_spectrum.h"
#include "python/module_state.h"

namespace kelvra::python {

void create_fit_result_type(PyObject* module, ModuleState& state);

// `measured` is the spectrum the fit saw (after a frame's rows without a
// positive frequency were dropped); the result hands it out as arrays.
PyObject* new_fit_result(const ModuleState& state, FitOutcome outcome, Spectrum measured);

}  // namespace kelvra::python
