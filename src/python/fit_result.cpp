#include "python/fit_result.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "python/circuit.h"
#include "python/convert.h"
#include "python/numpy_api.h"
#include "support/text.h"

namespace kelvra::python {

namespace {

struct FitResultObject {
  PyObject_HEAD
  FitOutcome outcome;
  Spectrum measured;
};

const FitOutcome& outcome_of(PyObject* self) { return reinterpret_cast<FitResultObject*>(self)->outcome; }
const Spectrum& measured_of(PyObject* self) { return reinterpret_cast<FitResultObject*>(self)->measured; }

void fit_result_dealloc(PyObject* self) {
  reinterpret_cast<FitResultObject*>(self)->outcome.~FitOutcome();
  reinterpret_cast<FitResultObject*>(self)->measured.~Spectrum();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// {name: value}, pairing names and values position by position over the
// shorter of the two.
Ref named_values(std::span<const std::string> names, std::span<const double> values) {
  Ref dict = Ref::steal(PyDict_New());
  for (std::size_t i = 0; i < std::min(names.size(), values.size()); ++i) {
    Ref key = new_str(names[i]);
    Ref value = Ref::steal(PyFloat_FromDouble(values[i]));
    check(PyDict_SetItem(dict.get(), key.get(), value.get()) == 0);
  }
  return dict;
}

PyObject* get_circuit(PyObject* self, void*) {
  return guarded([&] { return new_circuit(state_of(Py_TYPE(self)), outcome_of(self).circuit, true); });
}

PyObject* get_params(PyObject* self, void*) {
  return guarded([&] { return named_values(outcome_of(self).param_names, outcome_of(self).params).release(); });
}

PyObject* get_stderr(PyObject* self, void*) {
  return guarded([&] {
    const FitOutcome& outcome = outcome_of(self);
    if (!outcome.std_errors) return Py_NewRef(Py_None);
    return named_values(outcome.param_names, *outcome.std_errors).release();
  });
}

PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(outcome_of(self).success); }

PyObject* get_iterations(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(outcome_of(self).iterations); }

PyObject* get_impedance_evals(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(outcome_of(self).impedance_evals);
}

// A new one-dimensional array of `count` items of `type`, copied from `data`.
PyObject* array_copy(int type, const void* data, std::size_t count, std::size_t item_size) {
  ensure_numpy();
  npy_intp dims[] = {static_cast<npy_intp>(count)};
  Ref array = Ref::steal(PyArray_SimpleNew(1, dims, type));
  if (count > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, count * item_size);
  return array.release();
}

PyObject* get_frequencies(PyObject* self, void*) {
  return guarded([&] {
    const std::vector<double>& f = measured_of(self).frequencies;
    return array_copy(NPY_DOUBLE, f.data(), f.size(), sizeof(double));
  });
}

PyObject* get_impedances(PyObject* self, void*) {
  // Complex is two doubles, real then imaginary, as NumPy's complex128.
  static_assert(sizeof(Complex) == 2 * sizeof(double));
  return guarded([&] {
    const std::vector<Complex>& z = measured_of(self).impedances;
    return array_copy(NPY_CDOUBLE, z.data(), z.size(), sizeof(Complex));
  });
}

PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).cost); }

PyObject* get_chi_square(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).chi_square); }

// "FitResult(success=true, iterations=12, impedance_evals=140,
// chi_square=1.234568e-3, params={"R0.r": 10.0, ...})", the params in the
// iteration order of the dict the attribute hands out.
PyObject* fit_result_repr(PyObject* self) {
  return guarded([&] {
    const FitOutcome& outcome = outcome_of(self);
    Ref params = named_values(outcome.param_names, outcome.params);
    std::string entries;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(params.get(), &position, &key, &value)) {
      Py_ssize_t size = 0;
      const char* name = PyUnicode_AsUTF8AndSize(key, &size);
      check(name != nullptr);
      if (!entries.empty()) entries += ", ";
      entries += debug_quoted({name, static_cast<std::size_t>(size)}) + ": " + format_debug_number(PyFloat_AS_DOUBLE(value));
    }
    const std::string text = "FitResult(success=" + std::string(outcome.success ? "true" : "false") +
                             ", iterations=" + std::to_string(outcome.iterations) +
                             ", impedance_evals=" + std::to_string(outcome.impedance_evals) +
                             ", chi_square=" + format_exponent6(outcome.chi_square) + ", params={" + entries + "})";
    return new_str(text).release();
  });
}

PyGetSetDef fit_result_getset[] = {
    {"circuit", get_circuit, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {"stderr", get_stderr, nullptr, nullptr, nullptr},
    {"success", get_success, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"impedance_evals", get_impedance_evals, nullptr, nullptr, nullptr},
    {"cost", get_cost, nullptr, nullptr, nullptr},
    {"chi_square", get_chi_square, nullptr, nullptr, nullptr},
    {"frequencies", get_frequencies, nullptr, "The frequencies (Hz) the fit was fitted to, as a new array.",
     nullptr},
    {"impedances", get_impedances, nullptr, "The impedances (ohm) the fit was fitted to, as a new complex array.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fit_result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(fit_result_repr)},
    {Py_tp_getset, fit_result_getset},
    {0, nullptr},
};

// Results come only from Circuit.fit: Python cannot instantiate the class.
PyType_Spec fit_result_spec = {
    "kelvra.FitResult", sizeof(FitResultObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, fit_result_slots,
};

}  // namespace

void create_fit_result_type(PyObject* module, ModuleState& state) {
  state.fit_result_type =
      reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromModuleAndSpec(module, &fit_result_spec, nullptr)).release());
}

PyObject* new_fit_result(const ModuleState& state, FitOutcome outcome, Spectrum measured) {
  PyTypeObject* type = state.fit_result_type;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  new (&reinterpret_cast<FitResultObject*>(self.get())->outcome) FitOutcome(std::move(outcome));
  new (&reinterpret_cast<FitResultObject*>(self.get())->measured) Spectrum(std::move(measured));
  return self.release();
}

}  // namespace kelvra::python
