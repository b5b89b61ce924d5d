// _drt and _drt_chunk: convert the options, compute with the lock released,
// and hand back each DRT as a dict of NumPy arrays and floats for the
// Python layer's DrtResult.
#include "python/drt.h"

#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "drt/drt.h"
#include "python/convert.h"
#include "python/numpy_api.h"
#include "python/spectrum.h"
#include "support/text.h"

namespace kelvra::python {

const char kDrtDoc[] =
    "_drt(frequencies, impedances=None, **options)\n--\n\n"
    "The distribution of relaxation times of one spectrum, as a dict; the\n"
    "options are those of `kelvra.drt.drt`.";

const char kDrtPeaksDoc[] =
    "_drt_peaks(tau, gamma, min_prominence=0.1)\n--\n\n"
    "The peaks of gamma sampled at the log-uniform `tau`, as rows of (tau,\n"
    "resistance, width, height, prominence), with `min_prominence` the\n"
    "fraction of the largest gamma a peak must stand out by.";

const char kDrtChunkDoc[] =
    "_drt_chunk(spectra, **options)\n--\n\n"
    "The DRTs of a list of (frequencies, impedances) pairs, computed one after\n"
    "another without the interpreter lock: a dict per spectrum, or the\n"
    "ValueError message of one that failed.";

namespace {

constexpr const char* kOptionNames[] = {"weight",        "parts",          "penalty",           "method",
                                         "lambda_",       "nonnegative",    "inductance",        "points_per_decade",
                                         "extension_decades", "shape_factor", "keep_system"};
constexpr std::size_t kOptionCount = sizeof(kOptionNames) / sizeof(kOptionNames[0]);

template <class T>
struct Choice {
  const char* name;
  T value;
};

// `text` among `choices` exactly; ValueError listing them otherwise.
template <class T, std::size_t N>
T choose(const char* option, const std::string& text, const std::array<Choice<T>, N>& choices) {
  std::string listed;
  for (const Choice<T>& choice : choices) {
    if (text == choice.name) return choice.value;
    listed += (listed.empty() ? "" : ", ") + debug_quoted(choice.name);
  }
  raise(PyExc_ValueError, "unknown " + std::string(option) + " " + debug_quoted(text) + ", expected one of " + listed);
}

constexpr std::array<Choice<DrtParts>, 3> kParts{{{"both", DrtParts::Both},
                                                 {"real", DrtParts::Real},
                                                 {"imag", DrtParts::Imaginary}}};
constexpr std::array<Choice<PenaltyOrder>, 3> kPenalties{{{"first", PenaltyOrder::FirstDerivative},
                                                          {"second", PenaltyOrder::SecondDerivative},
                                                          {"value", PenaltyOrder::Value}}};
constexpr std::array<Choice<LambdaRule>, 3> kMethods{{{"gcv", LambdaRule::Gcv},
                                                      {"mgcv", LambdaRule::ModifiedGcv},
                                                      {"re-im", LambdaRule::ReImCrossValidation}}};

// Reads the options from the keyword dict (absent ones keep the defaults).
DrtOptions drt_options(PyObject* kwargs) {
  DrtOptions options;
  if (kwargs == nullptr) return options;
  std::array<PyObject*, kOptionCount> given{};
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    const std::string name = argument("keyword", key, to_string);
    std::size_t index = kOptionCount;
    for (std::size_t i = 0; i < kOptionCount; ++i) {
      if (name == kOptionNames[i]) index = i;
    }
    if (index == kOptionCount) raise(PyExc_TypeError, "unexpected keyword argument " + debug_quoted(name));
    given[index] = value;
  }
  if (given[0] != nullptr) options.weighting = parse_weighting(argument("weight", given[0], to_string));
  if (given[1] != nullptr) options.parts = choose("parts", argument("parts", given[1], to_string), kParts);
  if (given[2] != nullptr) options.penalty = choose("penalty", argument("penalty", given[2], to_string), kPenalties);
  if (given[3] != nullptr) options.rule = choose("method", argument("method", given[3], to_string), kMethods);
  if (given[4] != nullptr && given[4] != Py_None) {
    options.rule = LambdaRule::Given;
    options.lambda = argument("lambda_", given[4], to_double);
  }
  if (given[5] != nullptr) options.nonnegative = argument("nonnegative", given[5], to_bool);
  if (given[6] != nullptr && given[6] != Py_None) {
    options.inductance = argument("inductance", given[6], to_bool) ? InductanceChoice::Include
                                                                    : InductanceChoice::Exclude;
  }
  if (given[7] != nullptr) options.points_per_decade = argument("points_per_decade", given[7], to_double);
  if (given[8] != nullptr) options.extension_decades = argument("extension_decades", given[8], to_double);
  if (given[9] != nullptr) options.shape_factor = argument("shape_factor", given[9], to_double);
  if (given[10] != nullptr) options.keep_system = argument("keep_system", given[10], to_bool);
  return options;
}

Ref new_array(std::span<const double> values, std::size_t rows = 0, std::size_t cols = 0) {
  ensure_numpy();
  const int dimensions = rows == 0 ? 1 : 2;
  npy_intp shape[2] = {static_cast<npy_intp>(rows == 0 ? values.size() : rows), static_cast<npy_intp>(cols)};
  Ref array = Ref::steal(PyArray_SimpleNew(dimensions, shape, NPY_DOUBLE));
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                values.size() * sizeof(double));
  }
  return array;
}

Ref new_complex_array(std::span<const Complex> values) {
  ensure_numpy();
  npy_intp shape[1] = {static_cast<npy_intp>(values.size())};
  Ref array = Ref::steal(PyArray_SimpleNew(1, shape, NPY_CDOUBLE));
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                values.size() * sizeof(Complex));
  }
  return array;
}

void set_item(PyObject* dict, const char* key, Ref value) { check(PyDict_SetItemString(dict, key, value.get()) == 0); }

void set_float(PyObject* dict, const char* key, double value) { set_item(dict, key, Ref::steal(PyFloat_FromDouble(value))); }

Ref drt_dict(const Drt& drt) {
  Ref dict = Ref::steal(PyDict_New());
  std::vector<double> tau(drt.log_tau.size());
  for (std::size_t i = 0; i < tau.size(); ++i) tau[i] = std::exp(drt.log_tau[i]);
  std::vector<double> basis_tau(drt.grid.size());
  for (std::size_t i = 0; i < basis_tau.size(); ++i) basis_tau[i] = std::exp(drt.grid.log_tau[i]);
  set_item(dict.get(), "tau", new_array(tau));
  set_item(dict.get(), "gamma", new_array(drt.gamma));
  set_item(dict.get(), "basis_tau", new_array(basis_tau));
  set_item(dict.get(), "weights", new_array(drt.weights));
  set_float(dict.get(), "shape", drt.grid.shape);
  set_float(dict.get(), "r_inf", drt.r_inf);
  set_float(dict.get(), "inductance", drt.inductance);
  set_item(dict.get(), "has_inductance", Ref::new_ref(drt.has_inductance ? Py_True : Py_False));
  set_float(dict.get(), "lambda", drt.lambda);
  set_item(dict.get(), "lambda_at_limit", Ref::new_ref(drt.lambda_at_limit ? Py_True : Py_False));
  set_item(dict.get(), "fitted", new_complex_array(drt.fitted));
  set_float(dict.get(), "chi_square", drt.chi_square);
  set_float(dict.get(), "polarization_resistance", drt.polarization_resistance);
  set_item(dict.get(), "converged", Ref::new_ref(drt.converged ? Py_True : Py_False));
  std::vector<double> peaks;
  for (const DrtPeak& peak : drt.peaks) {
    peaks.insert(peaks.end(), {peak.tau, peak.resistance, peak.width, peak.height, peak.prominence});
  }
  set_item(dict.get(), "peaks", new_array(peaks, drt.peaks.size(), 5));
  if (!drt.system_matrix.empty()) {
    set_item(dict.get(), "system_matrix", new_array(drt.system_matrix, drt.system_rows, drt.system_cols));
    set_item(dict.get(), "system_rhs", new_array(drt.system_rhs));
    set_item(dict.get(), "system_solution", new_array(drt.system_solution));
  }
  return dict;
}

}  // namespace

PyObject* drt_one(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* frequencies = nullptr;
    PyObject* impedances = nullptr;
    check(PyArg_ParseTuple(args, "O|O:_drt", &frequencies, &impedances));
    const DrtOptions options = drt_options(kwargs);
    const Spectrum measured = spectrum(frequencies, impedances);
    std::optional<Result<Drt, DrtError>> result;
    {
      GilReleased unlocked;
      result.emplace(compute_drt(measured, options));
    }
    if (!result->ok()) raise(PyExc_ValueError, display(result->error()));
    return drt_dict(result->value()).release();
  });
}

PyObject* drt_peaks(PyObject* /*module*/, PyObject* args) {
  return guarded([&] {
    PyObject* tau_given = nullptr;
    PyObject* gamma_given = nullptr;
    double min_prominence = kMinRelativeProminence;
    check(PyArg_ParseTuple(args, "OO|d:_drt_peaks", &tau_given, &gamma_given, &min_prominence));
    std::vector<double> log_tau = argument("tau", tau_given, to_doubles);
    const std::vector<double> gamma = argument("gamma", gamma_given, to_doubles);
    if (log_tau.size() != gamma.size()) raise(PyExc_ValueError, "tau and gamma must have the same length");
    for (double& t : log_tau) {
      if (!(t > 0.0)) raise(PyExc_ValueError, "tau must be positive");
      t = std::log(t);
    }
    const std::vector<DrtPeak> peaks = find_peaks(log_tau, gamma, min_prominence);
    std::vector<double> rows;
    for (const DrtPeak& peak : peaks) {
      rows.insert(rows.end(), {peak.tau, peak.resistance, peak.width, peak.height, peak.prominence});
    }
    return new_array(rows, peaks.size(), 5).release();
  });
}

PyObject* drt_chunk(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* spectra = nullptr;
    check(PyArg_ParseTuple(args, "O:_drt_chunk", &spectra));
    const DrtOptions options = drt_options(kwargs);
    Ref items = sequence_items(spectra);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<Spectrum> inputs;
    inputs.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref pair = Ref::new_ref(PySequence_Fast_GET_ITEM(items.get(), i));
      PyObject* frequencies = nullptr;
      PyObject* impedances = nullptr;
      if (!PyArg_ParseTuple(pair.get(), "OO", &frequencies, &impedances)) {
        raise(PyExc_TypeError, "every spectrum must be a (frequencies, impedances) pair");
      }
      inputs.push_back(spectrum(frequencies, impedances));
    }
    std::vector<std::optional<Result<Drt, DrtError>>> results(inputs.size());
    {
      GilReleased unlocked;
      for (std::size_t i = 0; i < inputs.size(); ++i) results[i].emplace(compute_drt(inputs[i], options));
    }
    Ref list = Ref::steal(PyList_New(count));
    for (std::size_t i = 0; i < results.size(); ++i) {
      Ref item = results[i]->ok() ? drt_dict(results[i]->value()) : new_str(display(results[i]->error()));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  });
}

}  // namespace kelvra::python
