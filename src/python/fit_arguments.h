// The arguments of Circuit.fit besides the circuit, converted once: shared
// by the one-spectrum fit and the batch, which takes the same keywords.
#pragma once

#include <optional>
#include <string>

#include "fit/dispatch/fit_method.h"
#include "python/param_controls.h"
#include "python/py_ref.h"
#include "python/spectrum.h"

namespace kelvra::python {

inline constexpr const char* kDefaultMethod = "levenberg_marquardt";

// Every argument of fit, converted. The defaults are those of the
// signature; FitOptions carries the numeric ones.
struct FitArguments {
  PyObject* frequencies = nullptr;  // borrowed; becomes the spectrum
  PyObject* impedances = nullptr;
  // Read by the learned guess: whether to guess, and a weight file for it.
  std::optional<bool> guess_init;
  std::optional<std::string> weights;
  std::string weight = kDefaultWeighting;
  std::string method = kDefaultMethod;
  FitOptions options;
  ParamControlRequest controls;
};

// Converts all twenty-four arguments of fit in signature order, before any work,
// so a bad argument is reported whatever the method would have read.
FitArguments fit_arguments(PyObject* args, PyObject* kwargs);

}  // namespace kelvra::python
