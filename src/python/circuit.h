// The `Circuit` class: a circuit tree plus the flag that records whether the
// user chose its values, and the module functions `Series` and `Parallel`.
// Its methods live in the files of their concern (evaluate.cpp, fit.cpp);
// circuit.cpp lists them all in the class's order.
#pragma once

#include "circuit/tree.h"
#include "python/module_state.h"

namespace kelvra::python {

struct CircuitObject {
  PyObject_HEAD
  Series series;
  // Chosen by the user (with_values, element objects) rather than the
  // catalogue defaults; the fit asks for a learned guess only when false.
  bool explicit_values;
};

inline const CircuitObject& as_circuit(PyObject* self) { return *reinterpret_cast<CircuitObject*>(self); }

// A new Circuit object of the module's class.
PyObject* new_circuit(const ModuleState& state, Series series, bool explicit_values);

void create_circuit_type(PyObject* module, ModuleState& state);

// `Series` and `Parallel`, as module functions.
extern PyMethodDef kCircuitFunctions[];

// Methods defined in evaluate.cpp.
PyObject* circuit_impedance(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char kResidualsDoc[];
extern const char kJacobianDoc[];
extern const char kImpedanceDoc[];

// Defined in fit.cpp.
PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char kFitDoc[];

}  // namespace kelvra::python
