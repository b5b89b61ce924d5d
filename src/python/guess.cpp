// Circuit.guess, Circuit.ml_circuits and the automatic guess that starts
// Circuit.fit: the Python face of the model registry. The guess runs with
// the interpreter lock held; it reads weight files and a small network, and
// is cheap next to the fit that follows.
#include <algorithm>
#include <cmath>
#include <utility>

#include "circuit/params.h"
#include "models/registry.h"
#include "python/circuit.h"
#include "python/convert.h"
#include "python/spectrum.h"

namespace kelvra::python {

const char kGuessDoc[] =
    "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n"
    "\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
    "\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model. It must be a regular file of at most 64 MiB; a file is\n"
    "read again when it changed on disk since it was last loaded.\n"
    "\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one.";

const char kMlCircuitsDoc[] =
    "ml_circuits()\n--\n\n"
    "Available trained models, name: topology dict.";

namespace {

const char kNoModelWarning[] =
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to silence this. "
    "Models available for ";

// The warning's stack level: the caller of fit.
constexpr int kWarningStackLevel = 1;

// guess_params with its failure raised: ValueError, or the module's
// internal error for a broken invariant.
std::vector<double> guessed_values(PyObject* self, const Spectrum& measured, const std::optional<std::string>& weights) {
  const Series& series = as_circuit(self).series;
  // Without the lock: reading a weight file waits on the disk, and the
  // network's forward pass is numerical work.
  auto guessed = [&] {
    GilReleased unlocked;
    return guess_params(series, measured.frequencies, measured.impedances, weights);
  }();
  if (!guessed) {
    if (guessed.error().internal) raise_internal_error(state_of(Py_TYPE(self)), guessed.error().message);
    raise(PyExc_ValueError, guessed.error().message);
  }
  return std::move(guessed).value();
}

}  // namespace

PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"frequencies", "impedances", "weights", nullptr};
    PyObject* frequencies = nullptr;
    PyObject* impedances = nullptr;
    PyObject* weights_object = nullptr;
    check(PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:guess", const_cast<char**>(keywords), &frequencies,
                                      &impedances, &weights_object));
    std::optional<std::string> weights;
    if (weights_object != nullptr && weights_object != Py_None) weights = argument("weights", weights_object, to_string);
    const Spectrum measured = spectrum(frequencies, impedances);
    return new_float_list(guessed_values(self, measured, weights)).release();
  });
}

PyObject* circuit_ml_circuits(PyObject*, PyObject*) {
  return guarded([&] {
    Ref dict = Ref::steal(PyDict_New());
    for (const Model& model : MODELS) {
      Ref topology = new_str(model.topology);
      check(PyDict_SetItemString(dict.get(), std::string(model.name).c_str(), topology.get()) == 0);
    }
    return dict.release();
  });
}

bool uses_learned_guess(PyObject* self, std::optional<bool> guess_init, const std::optional<std::string>& weights) {
  const CircuitObject& circuit = as_circuit(self);
  const bool use_guess = guess_init.value_or(!circuit.explicit_values || weights.has_value());
  if (!use_guess) return false;
  // Without a file, a missing model is a warning unless the caller insisted
  // on a guess; guess_params then raises the no-model error itself.
  if (!weights && !guess_init && !find_for_topology(circuit.series)) {
    const std::string message = kNoModelWarning + quoted_names();
    check(PyErr_WarnEx(PyExc_UserWarning, message.c_str(), kWarningStackLevel) == 0);
    return false;
  }
  return true;
}

Series starting_series(PyObject* self, const Spectrum& measured, std::optional<bool> guess_init,
                       const std::optional<std::string>& weights) {
  const CircuitObject& circuit = as_circuit(self);
  if (!uses_learned_guess(self, guess_init, weights)) return circuit.series;
  const std::vector<double> values = guessed_values(self, measured, weights);
  if (values.size() != param_count(circuit.series)) {
    raise_internal_error(state_of(Py_TYPE(self)), "guess_params: one value per parameter");
  }
  // A spectrum the features cannot take (a NaN, a zero or a negative value)
  // gives a non-finite guess. Started from it every method fails in its own
  // way, some as if the fault were theirs, so the fit starts from the
  // circuit's own values and reports on the data itself.
  if (!std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); })) return circuit.series;
  return rebuild(circuit.series, values);
}

}  // namespace kelvra::python
