// The start, fixed and bounds arguments of a fit, converted into the core's
// request; the core validates the names and values against the circuit.
#pragma once

#include "fit/param_controls.h"
#include "python/py_ref.h"

namespace kelvra::python {

// `start`: a dict {name: value}. `fixed`: a dict {name: value}, or a
// sequence of names held at their start values. `bounds`: a dict
// {name: (lower, upper)}, either side None for the physical bound. Each may
// be null (not given) or None. TypeError for anything else.
ParamControlRequest param_control_request(PyObject* start, PyObject* fixed, PyObject* bounds);

}  // namespace kelvra::python
