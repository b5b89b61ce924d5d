// The `Circuit` class: a circuit tree plus the flag that records whether the
// user chose its values, and the module functions `Series` and `Parallel`.
// Its methods live in the files of their concern (guess.cpp, evaluate.cpp,
// fit.cpp);
// circuit.cpp lists them all in the class's order.
#pragma once

#include <optional>
#include <string>

#include "circuit/tree.h"
#include "fit/residuals.h"
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

// Defined in guess.cpp.
PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_ml_circuits(PyObject* self, PyObject* unused);
extern const char kGuessDoc[];
extern const char kMlCircuitsDoc[];

// Whether a fit of `self` starts from a learned guess, as `guess_init` and
// `weights` call for. Issues the no-model UserWarning and answers no when
// no model serves the circuit and the caller did not insist.
bool uses_learned_guess(PyObject* self, std::optional<bool> guess_init, const std::optional<std::string>& weights);

// The tree a fit of `self` starts from: its own values, or a learned guess
// for `measured` when `guess_init` and `weights` call for one. Issues the
// no-model UserWarning, and raises when a guess that was asked for fails.
Series starting_series(PyObject* self, const Spectrum& measured, std::optional<bool> guess_init,
                       const std::optional<std::string>& weights);

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
// The module's private `_screening_fit`, for model ranking.
PyObject* screening_fit(PyObject* module, PyObject* args, PyObject* kwargs);
// The module's private `_early_stop_rules`: the names `early_stop` accepts.
extern const char kEarlyStopRulesDoc[];
PyObject* early_stop_rules(PyObject* module, PyObject* unused);
// The module's private `_jacobian_methods`: the names `jacobian` accepts.
extern const char kJacobianMethodsDoc[];
PyObject* jacobian_methods(PyObject* module, PyObject* unused);
extern const char kScreeningFitDoc[];

// Defined in fit_batch.cpp: the module's private `_fit_batch`.
PyObject* fit_batch(PyObject* module, PyObject* args);
extern const char kFitBatchDoc[];

}  // namespace kelvra::python
