// Circuit.impedance, Circuit.residuals and Circuit.jacobian: the circuit's
// own evaluation, exposed to Python. The numerical work of each runs without
// the interpreter lock.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/impedance_sweep.h"
#include "circuit/params.h"
#include "fit/residuals.h"
#include "python/circuit.h"
#include "python/convert.h"
#include "python/numpy_api.h"
#include "python/spectrum.h"

namespace kelvra::python {

const char kImpedanceDoc[] = "impedance($self, frequencies)\n--\n\n";
const char kResidualsDoc[] =
    "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
    "arbitrary parameter vector -- the same building block `fit()` uses\n"
    "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
    "`scipy.optimize.least_squares`) can drive this circuit's math directly.";
const char kJacobianDoc[] =
    "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
    "len(frequencies), len(params))` -- rows are residuals, columns are\n"
    "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects.";

namespace {

constexpr const char* kNotEnoughValues = "impedance_from_iter: not enough values supplied";

// Names the buffer a result array borrows from its base capsule.
constexpr const char* kBufferCapsuleName = "kelvra.impedance_buffer";

// A sequence of frequencies, or else the frequency column of a dataframe
// (every row of it: nothing is filtered for a sweep). A frame is read as a
// frame even when its column labels would convert as frequencies.
std::vector<double> sweep_frequencies(PyObject* frequencies) {
  if (!is_frame(frequencies)) {
    try {
      return to_doubles(frequencies);
    } catch (const ErrorAlreadySet&) {
      // A sequence whose items are not real numbers (complex ones, say)
      // keeps the error that names the item's type; anything else may still
      // be looked up by column name.
      if (PySequence_Check(frequencies) || !clear_if_wrong_kind()) throw;
    }
  }
  auto from_frame = column(frequencies, kFrequencyColumn);
  if (!from_frame) {
    raise(PyExc_ValueError, "expected a sequence of frequencies, or a dataframe with a " +
                                pair_label(kFrequencyColumn) + " column");
  }
  return std::move(*from_frame);
}


struct FreeDeleter {
  void operator()(Complex* buffer) const { std::free(buffer); }
};

void free_buffer_capsule(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, kBufferCapsuleName)); }

// A complex128 array over `buffer`, which it takes over without a copy: the
// array's base capsule frees the buffer when the array goes.
PyObject* adopt_as_array(std::unique_ptr<Complex[], FreeDeleter> buffer, std::size_t size) {
  ensure_numpy();
  Complex* data = buffer.get();
  Ref capsule = Ref::steal(PyCapsule_New(data, kBufferCapsuleName, free_buffer_capsule));
  buffer.release();
  npy_intp dims[] = {static_cast<npy_intp>(size)};
  Ref array = Ref::steal(PyArray_SimpleNewFromData(1, dims, NPY_CDOUBLE, data));
  // Steals the capsule's reference whether or not it succeeds.
  check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) == 0);
  return array.release();
}

// What residuals and jacobian share: the parameter vector and the prepared
// spectrum.
struct Evaluation {
  std::vector<double> params;
  PreparedSpectrum data;
};

// Errors surface in argument order: parsing, `params`, the type of
// `weight`, the spectrum, then the value of `weight`.
Evaluation evaluation_arguments(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* keywords[] = {"params", "frequencies", "impedances", "weight", nullptr};
  PyObject* params = nullptr;
  PyObject* frequencies = nullptr;
  PyObject* impedances = nullptr;
  PyObject* weight = nullptr;
  check(PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &params, &frequencies,
                                    &impedances, &weight));
  std::vector<double> values = argument("params", params, to_doubles);
  const std::string weight_name = weight != nullptr ? argument("weight", weight, to_string) : kDefaultWeighting;
  const Spectrum measured = spectrum(frequencies, impedances);
  const Weighting weighting = parse_weighting(weight_name);
  return {std::move(values), PreparedSpectrum::from(measured, weighting)};
}

// The evaluation reads the parameter vector only when it has a point to
// evaluate; running out of values there is a broken invariant of the caller.
void require_enough_values(PyObject* self, const Evaluation& evaluation, bool evaluates) {
  if (evaluates && evaluation.params.size() < param_count(as_circuit(self).series)) {
    raise_internal_error(state_of(Py_TYPE(self)), kNotEnoughValues);
  }
}

}  // namespace

PyObject* circuit_impedance(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"frequencies", nullptr};
    PyObject* frequencies_object = nullptr;
    check(PyArg_ParseTupleAndKeywords(args, kwargs, "O:impedance", const_cast<char**>(keywords), &frequencies_object));
    const std::vector<double> frequencies = sweep_frequencies(frequencies_object);
    // malloc, not new: the buffer is freed by the capsule's C destructor. One
    // element at least, so that an empty sweep still has a buffer to hand on.
    const std::size_t size = frequencies.size();
    std::unique_ptr<Complex[], FreeDeleter> buffer(
        static_cast<Complex*>(std::malloc(std::max<std::size_t>(size, 1) * sizeof(Complex))));
    if (!buffer) throw std::bad_alloc();
    {
      GilReleased unlocked;
      sweep_impedance(as_circuit(self).series, frequencies, {buffer.get(), size});
    }
    return adopt_as_array(std::move(buffer), size);
  });
}

PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Evaluation evaluation = evaluation_arguments(args, kwargs, "OO|OO:residuals");
    require_enough_values(self, evaluation, evaluation.data.point_count() > 0);
    const PreparedSpectrum& data = evaluation.data;
    std::vector<double> out(data.residual_count());
    EvalCounter counter;
    {
      GilReleased unlocked;
      residuals(as_circuit(self).series, evaluation.params, data, counter, out);
    }
    return new_float_list(out).release();
  });
}

PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Evaluation evaluation = evaluation_arguments(args, kwargs, "OO|OO:jacobian");
    const std::size_t columns = evaluation.params.size();
    require_enough_values(self, evaluation, evaluation.data.point_count() > 0 && columns > 0);
    const PreparedSpectrum& data = evaluation.data;
    const std::size_t rows = data.residual_count();
    std::vector<double> by_column(rows * columns);
    EvalCounter counter;
    {
      GilReleased unlocked;
      jacobian_columns(as_circuit(self).series, evaluation.params, data, counter, by_column);
    }
    // Without columns there are no rows to transpose into.
    const std::size_t row_count = columns == 0 ? 0 : rows;
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(row_count)));
    std::vector<double> row(columns);
    for (std::size_t r = 0; r < row_count; ++r) {
      for (std::size_t k = 0; k < columns; ++k) row[k] = by_column[k * rows + r];
      PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(r), new_float_list(row).release());
    }
    return result.release();
  });
}

}  // namespace kelvra::python
