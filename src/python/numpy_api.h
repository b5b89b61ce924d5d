// NumPy's C array API for the binding files that use it. Every file that
// includes this header shares one API table; numpy_api.cpp alone defines it
// and fills it from NumPy's multiarray module on first use.
#pragma once

#include "python/py_ref.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kelvra_numpy_api
#ifndef KELVRA_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kelvra::python {

// Loads the API table unless it is loaded already. Importing the module does
// not import NumPy; the first call that needs an array does.
void ensure_numpy();

}  // namespace kelvra::python
