// The core's shared facts as plain Python values, for the package's Python
// layer: the battery-data-format columns, the fit methods, the weighting
// schemes, the built-in models with their nesting, and the element kinds
// with their fields, units, defaults, bounds and limits. Python reads these
// instead of writing the same facts down again.
#pragma once

#include "python/py_ref.h"

namespace kelvra::python {

// Private module functions (`_battery_columns`, ...), left out of __all__.
extern PyMethodDef kTableFunctions[];

}  // namespace kelvra::python
