#include "python/spectrum.h"

#include <cmath>
#include <cstddef>

#include "python/convert.h"
#include "support/text.h"

namespace kelvra::python {

namespace {

// pi / 180: the phase column is in degrees.
constexpr double kRadiansPerDegree = 0.017453292519943295;

// frame[name], or null when the lookup fails with any ordinary exception:
// the caller falls back to the other spelling. Dataframe libraries differ in
// what a missing column raises (KeyError, or a class of their own derived
// from Exception alone), so every Exception but MemoryError means "not
// here"; KeyboardInterrupt, SystemExit and MemoryError reach the user.
Ref lookup(PyObject* frame, const char* name) {
  Ref key = new_str(name);
  Ref found = Ref::steal_or_null(PyObject_GetItem(frame, key.get()));
  if (!found) {
    const bool ordinary = PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
    check(ordinary);
    PyErr_Clear();
  }
  return found;
}

// The impedances from one complete pair of columns, and the pair that gave
// them (for the row-count message).
struct FrameImpedances {
  std::vector<Complex> values;
  const ColumnNames* first;
  const ColumnNames* second;
};

FrameImpedances frame_impedances(PyObject* frame) {
  // All four are looked up, in this order, so that a non-numeric column is
  // reported even when it belongs to the pair that would not be used.
  const auto real = column(frame, kRealColumn);
  const auto imaginary = column(frame, kImaginaryColumn);
  const auto modulus = column(frame, kModulusColumn);
  const auto phase = column(frame, kPhaseColumn);

  FrameImpedances out;
  if (real && imaginary) {
    if (real->size() != imaginary->size()) {
      raise(PyExc_ValueError, "real and imaginary impedance columns must have the same length");
    }
    out.values.reserve(real->size());
    for (std::size_t i = 0; i < real->size(); ++i) out.values.push_back({(*real)[i], (*imaginary)[i]});
    out.first = &kRealColumn;
    out.second = &kImaginaryColumn;
    return out;
  }
  if (modulus && phase) {
    if (modulus->size() != phase->size()) {
      raise(PyExc_ValueError, "absolute impedance and phase columns must have the same length");
    }
    out.values.reserve(modulus->size());
    for (std::size_t i = 0; i < modulus->size(); ++i) {
      const double theta = (*phase)[i] * kRadiansPerDegree;
      out.values.push_back({(*modulus)[i] * std::cos(theta), (*modulus)[i] * std::sin(theta)});
    }
    out.first = &kModulusColumn;
    out.second = &kPhaseColumn;
    return out;
  }
  raise(PyExc_ValueError, "no impedance columns: expected " + pair_label(kRealColumn) + " together with " +
                              pair_label(kImaginaryColumn) + ", or " + pair_label(kModulusColumn) +
                              " together with " + pair_label(kPhaseColumn));
}

Spectrum unpack_frame(PyObject* frame) {
  const auto frequencies = column(frame, kFrequencyColumn);
  if (!frequencies) {
    raise(PyExc_ValueError, "expected a dataframe with a " + pair_label(kFrequencyColumn) +
                                " column, or frequencies and impedances as two arguments");
  }
  const FrameImpedances impedances = frame_impedances(frame);
  if (frequencies->size() != impedances.values.size()) {
    raise(PyExc_ValueError, "frequency column has " + std::to_string(frequencies->size()) + " rows but " +
                                pair_label(*impedances.first) + " and " + pair_label(*impedances.second) +
                                " have " + std::to_string(impedances.values.size()));
  }
  // Measurement files carry rows without a usable frequency (zero for a DC
  // step, NaN for a blank cell); only positive frequencies are data.
  Spectrum out;
  for (std::size_t i = 0; i < frequencies->size(); ++i) {
    if ((*frequencies)[i] > 0.0) {
      out.frequencies.push_back((*frequencies)[i]);
      out.impedances.push_back(impedances.values[i]);
    }
  }
  if (out.frequencies.empty()) {
    raise(PyExc_ValueError,
          "no measured points: every row of the " + pair_label(kFrequencyColumn) + " column is zero or negative");
  }
  return out;
}

}  // namespace

std::string pair_label(const ColumnNames& names) {
  return debug_quoted(names.first) + " or " + debug_quoted(names.second);
}

bool is_frame(PyObject* object) {
  if (PyDict_Check(object)) return true;
  const int has_columns = PyObject_HasAttrString(object, "columns");
  return has_columns == 1;
}

std::optional<std::vector<double>> column(PyObject* frame, const ColumnNames& names) {
  const char* found_name = names.first;
  Ref found = lookup(frame, names.first);
  if (!found) {
    found_name = names.second;
    found = lookup(frame, names.second);
  }
  if (!found) return std::nullopt;
  try {
    return to_doubles(found.get());
  } catch (const ErrorAlreadySet&) {
    if (!clear_if_wrong_kind()) throw;
    raise(PyExc_ValueError, "column " + debug_quoted(found_name) + " is not numeric");
  }
}

Spectrum spectrum(PyObject* frequencies, PyObject* impedances) {
  if (impedances == nullptr || impedances == Py_None) return unpack_frame(frequencies);
  Spectrum out;
  out.frequencies = to_doubles(frequencies);
  out.impedances = to_complexes(impedances);
  if (out.frequencies.size() != out.impedances.size()) {
    raise(PyExc_ValueError, "frequencies and impedances must have the same length");
  }
  return out;
}

Weighting parse_weighting(const std::string& text) {
  for (const WeightingName& known : kWeightings) {
    if (text == known.name) return known.weighting;
  }
  raise(PyExc_ValueError, "unknown weight scheme " + debug_quoted(text) + ", expected \"modulus\" or \"unit\"");
}

}  // namespace kelvra::python
