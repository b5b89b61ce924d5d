// A circuit's impedance over many frequencies, spread over the worker pool
// when there are enough of them to pay for the hand-off.
#pragma once

#include <cstddef>
#include <span>

#include "circuit/tree.h"
#include "elements/complex.h"

namespace kelvra {

// Below this many frequencies the sweep runs on the calling thread.
inline constexpr std::size_t kParallelSweepThreshold = 1000;

// out[i] = impedance at 2*pi*frequencies[i] with the circuit's stored values,
// in input order and identical whichever threads computed it.
void sweep_impedance(const Series& series, std::span<const double> frequencies, std::span<Complex> out);

}  // namespace kelvra
