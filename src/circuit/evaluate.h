// Impedance of a circuit tree at one angular frequency. Both walks are
// re-entrant and never allocate, so the worker pool calls them concurrently
// on one shared tree.
#pragma once

#include <span>

#include "circuit/tree.h"
#include "elements/complex.h"

namespace kelvra {

// 2*pi, multiplied once into every frequency in hertz before evaluation.
inline constexpr double kTwoPi = 6.283185307179586;

// With the values stored in the tree.
Complex impedance(const Series& series, double omega);

// With element values read in leaf order from `params`, which the caller
// guarantees holds at least param_count values.
Complex series_impedance_with_params(const Series& series, std::span<const double> params, double omega);

// out[k] = impedance at omega[k] (out.size() == omega.size()), bit for bit
// what the one-frequency walks give. The tree is flattened and each leaf
// prepared once for the whole spectrum rather than once per frequency.
// Allocation-free once the calling thread has seen a circuit with this many
// nodes and this deep a nesting.
void spectrum_impedance(const Series& series, std::span<const double> omega, std::span<Complex> out);
void spectrum_impedance_with_params(const Series& series, std::span<const double> params,
                                    std::span<const double> omega, std::span<Complex> out);

}  // namespace kelvra
