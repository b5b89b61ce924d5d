// The module's private `_fit_batch`: one circuit fitted to a chunk of
// spectra with the interpreter lock released once for the whole chunk. The
// spectra are converted first, with the lock; a spectrum that cannot be read
// gets its error in its row, as the batch's one-fit-at-a-time path records
// it, and the rows come back as arrays.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "batch/fit_batch.h"
#include "python/circuit.h"
#include "python/convert.h"
#include "python/fit_arguments.h"
#include "python/module_state.h"
#include "python/numpy_api.h"
#include "python/spectrum.h"

namespace kelvra::python {

const char kFitBatchDoc[] =
    "_fit_batch(circuit, frequencies, impedances, workers, fit_arguments)\n--\n\n"
    "Fit `circuit` to every spectrum (frequencies[i], impedances[i]) as\n"
    "`Circuit.fit` would with the keyword arguments in the dict\n"
    "`fit_arguments`, on at most `workers` threads, the interpreter lock\n"
    "released throughout. Returns a dict of arrays, one entry per spectrum:\n"
    "\"params\" and \"stderr\" (one column per parameter, NaN where there is\n"
    "none), \"chi_square\", \"success\", \"iterations\", \"impedance_evals\",\n"
    "\"time\" (seconds) and \"error\" (a list of str, empty where the fit ran,\n"
    "else the exception's type and message).";

namespace {

// The error set now as a row's text, "{type name}: {message}", and cleared.
// Only an Exception belongs in a row: anything else (KeyboardInterrupt, the
// module's internal error) stays set and goes on up.
std::string take_row_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet{};
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref owned_value = Ref::steal(value);
  Ref owned_traceback = Ref::steal_or_null(traceback);
  Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(owned_type.get())));
  Ref text = Ref::steal(PyObject_Str(owned_value.get()));
  return to_string(name.get()) + ": " + to_string(text.get());
}

Ref new_array(int dimensions, const npy_intp* shape, int type, const void* data, std::size_t bytes) {
  Ref array = Ref::steal(PyArray_SimpleNew(dimensions, const_cast<npy_intp*>(shape), type));
  if (bytes > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, bytes);
  return array;
}

template <class T>
Ref new_column(const std::vector<T>& values, int type) {
  const npy_intp shape[] = {static_cast<npy_intp>(values.size())};
  return new_array(1, shape, type, values.data(), values.size() * sizeof(T));
}

Ref new_matrix(const std::vector<double>& values, std::size_t rows, std::size_t columns) {
  const npy_intp shape[] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  return new_array(2, shape, NPY_DOUBLE, values.data(), values.size() * sizeof(double));
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
  check(PyDict_SetItemString(dict, key, value.get()) == 0);
}

}  // namespace

PyObject* fit_batch(PyObject* module, PyObject* args) {
  return guarded([&] {
    PyObject* circuit = nullptr;
    PyObject* frequencies = nullptr;
    PyObject* impedances = nullptr;
    PyObject* workers_object = nullptr;
    PyObject* keywords = nullptr;
    check(PyArg_ParseTuple(args, "OOOOO!:_fit_batch", &circuit, &frequencies, &impedances, &workers_object,
                           &PyDict_Type, &keywords));
    const ModuleState& state = module_state(module);
    if (!PyObject_TypeCheck(circuit, state.circuit_type)) raise_wrong_type(circuit, "is not a Circuit");
    const std::uint64_t workers = argument("workers", workers_object, to_u64);
    if (workers == 0) raise(PyExc_ValueError, "workers must be a positive integer, got 0");
    // The keywords of Circuit.fit, converted by its own parser; the spectrum
    // slot is filled per item below.
    Ref no_spectrum = Ref::steal(PyTuple_Pack(1, Py_None));
    FitArguments arguments = fit_arguments(no_spectrum.get(), keywords);
    ensure_numpy();

    Ref frequency_items = sequence_items(frequencies);
    Ref impedance_items = sequence_items(impedances);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(frequency_items.get());
    if (PySequence_Fast_GET_SIZE(impedance_items.get()) != count) {
      raise(PyExc_ValueError, "_fit_batch needs one impedance item per frequency item");
    }
    BatchRequest request;
    request.circuit = as_circuit(circuit).series;
    request.weighting = parse_weighting(arguments.weight);
    request.method = arguments.method;
    request.options = arguments.options;
    request.controls = arguments.controls;
    request.weights = arguments.weights;
    request.max_threads = static_cast<std::size_t>(workers);
    request.learned_guess = uses_learned_guess(circuit, arguments.guess_init, arguments.weights);

    std::vector<std::optional<Spectrum>> spectra(static_cast<std::size_t>(count));
    std::vector<std::string> unread(spectra.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
      try {
        spectra[i] = spectrum(PySequence_Fast_GET_ITEM(frequency_items.get(), i),
                              PySequence_Fast_GET_ITEM(impedance_items.get(), i));
      } catch (const ErrorAlreadySet&) {
        unread[i] = take_row_error();
      }
    }

    BatchRows rows;
    {
      GilReleased unlocked;
      rows = kelvra::fit_batch(request, spectra);
    }

    std::vector<std::string> errors = std::move(unread);
    for (std::size_t i = 0; i < errors.size(); ++i) {
      if (!rows.errors[i]) continue;
      if (rows.errors[i]->internal) raise_internal_error(state, rows.errors[i]->message);
      errors[i] = "ValueError: " + rows.errors[i]->message;
    }
    const std::size_t n = rows.param_count;
    static_assert(sizeof(std::uint64_t) == sizeof(npy_int64));
    static_assert(sizeof(std::uint8_t) == sizeof(npy_bool));
    Ref result = Ref::steal(PyDict_New());
    set_item(result.get(), "params", new_matrix(rows.params, spectra.size(), n));
    set_item(result.get(), "stderr", new_matrix(rows.std_errors, spectra.size(), n));
    set_item(result.get(), "chi_square", new_column(rows.chi_square, NPY_DOUBLE));
    set_item(result.get(), "success", new_column(rows.success, NPY_BOOL));
    set_item(result.get(), "iterations", new_column(rows.iterations, NPY_INT64));
    set_item(result.get(), "impedance_evals", new_column(rows.impedance_evals, NPY_INT64));
    set_item(result.get(), "time", new_column(rows.seconds, NPY_DOUBLE));
    set_item(result.get(), "error", new_str_list(errors));
    return result.release();
  });
}

}  // namespace kelvra::python
