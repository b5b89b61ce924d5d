// The module's private class `StopFlag` (see entered_stop.h for how native
// work reads it).
#pragma once

#include "python/py_ref.h"

namespace kelvra::python {

// Adds the class `StopFlag` to the module (not to __all__).
void add_stop_flag_type(PyObject* module);

}  // namespace kelvra::python
