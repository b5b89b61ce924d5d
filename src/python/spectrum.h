// How a measured spectrum arrives from Python: two sequences, or one
// battery-data-format dataframe (any object that supports lookup by column
// name), and the name of a weighting scheme.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fit/residuals.h"
#include "python/py_ref.h"

namespace kelvra::python {

// The two accepted names of one column, tried in this order.
struct ColumnNames {
  const char* first;
  const char* second;
};

inline constexpr ColumnNames kFrequencyColumn{"Frequency / Hz", "frequency_hertz"};
inline constexpr ColumnNames kRealColumn{"Real Impedance / ohm", "real_impedance_ohm"};
inline constexpr ColumnNames kImaginaryColumn{"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
inline constexpr ColumnNames kModulusColumn{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
inline constexpr ColumnNames kPhaseColumn{"Phase / deg", "phase_degree"};

// Every battery-data-format column a spectrum is read from, under the
// quantity it holds: the table the Python layer reads instead of repeating
// the names.
struct BatteryColumn {
  const char* quantity;
  ColumnNames names;
};
inline constexpr BatteryColumn kBatteryColumns[] = {
    {"frequency", kFrequencyColumn}, {"real", kRealColumn},   {"imaginary", kImaginaryColumn},
    {"modulus", kModulusColumn},     {"phase", kPhaseColumn},
};

// `"Frequency / Hz" or "frequency_hertz"`: how messages name a column.
std::string pair_label(const ColumnNames& names);

// Whether `object` is a table of named columns (a dict, or anything with a
// `columns` attribute as pandas and polars frames have) rather than a
// sequence: iterating a frame gives its column labels, never its rows.
bool is_frame(PyObject* object);

// The column under either name as floats, or nothing when neither name can
// be looked up. A column that is there but not numeric raises ValueError.
std::optional<std::vector<double>> column(PyObject* frame, const ColumnNames& names);

// Two sequences when `impedances` is given (null and None count as absent),
// otherwise `frequencies` is read as a dataframe and its rows with a
// non-positive frequency are dropped.
Spectrum spectrum(PyObject* frequencies, PyObject* impedances);

// The weighting schemes by name, the default first.
struct WeightingName {
  const char* name;
  Weighting weighting;
};
inline constexpr WeightingName kWeightings[] = {{"modulus", Weighting::Modulus}, {"unit", Weighting::Unit}};

// The scheme every `weight` argument defaults to.
inline constexpr const char* kDefaultWeighting = kWeightings[0].name;

// "modulus" or "unit", exactly; ValueError otherwise.
Weighting parse_weighting(const std::string& text);

}  // namespace kelvra::python
