// The flat parameter vector: each leaf's fields in leaf order, named
// "{label}.{field}". This order is the only contract between a circuit and
// every fitting method and network.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "circuit/tree.h"
#include "elements/element.h"
#include "support/result.h"

namespace kelvra {

std::size_t param_count(const Series& series);
std::vector<std::string> param_names(const Series& series);
std::vector<std::string> param_units(const Series& series);
std::vector<Bounds> param_bounds(const Series& series);
std::vector<double> param_values(const Series& series);

// Same shape and labels, values taken from the front of `values` in leaf
// order; the caller guarantees at least param_count values.
Series rebuild(const Series& series, std::span<const double> values);

// Checked rebuild by position: "expected {n} values, got {m}".
Result<Series, std::string> with_values(const Series& series, std::span<const double> values);

// Checked rebuild by name. `mapping` is in the caller's iteration order; the
// error is the multi-line unknown/missing report with suggestions.
Result<Series, std::string> with_named_values(const Series& series,
                                              std::span<const std::pair<std::string, double>> mapping);

// Levenshtein distance over code points, used for "did you mean".
std::size_t closest_param_name(std::string_view key, std::string_view name);

}  // namespace kelvra
