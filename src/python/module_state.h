// Per-module state: the classes and the exception the module creates, so
// that several interpreters can each import their own copy.
#pragma once

#include <array>
#include <string>

#include "elements/element.h"
#include "python/py_ref.h"

namespace kelvra::python {

// Qualifies every class name ("kelvra.Circuit").
inline constexpr const char* kModuleName = "kelvra";

struct ModuleState {
  PyTypeObject* element_type = nullptr;
  std::array<PyTypeObject*, kKindCount> element_classes{};
  PyTypeObject* circuit_type = nullptr;
  PyTypeObject* fit_result_type = nullptr;
  // Raised for a broken internal invariant. It derives from BaseException so
  // that `except Exception` in user code does not swallow a bug.
  PyObject* internal_error = nullptr;
};

// The state of the module object itself (module functions receive it).
ModuleState& module_state(PyObject* module);

// The state of the module that created `type` (or one of its bases).
ModuleState& state_of(PyTypeObject* type);

// Raises the module's internal-error exception with the invariant's text.
[[noreturn]] void raise_internal_error(const ModuleState& state, const std::string& message);

}  // namespace kelvra::python
