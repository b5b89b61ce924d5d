// Clamping fitted parameters to their bounds: [lo, hi] for a bounded
// parameter, [lo, +inf) for an open one, whose upper bound is +inf (or NaN,
// which no comparison crosses). NaN values stay NaN.
#pragma once

#include <algorithm>
#include <span>

#include "elements/element.h"

namespace kelvra {

inline double clamp_to_bounds(double p, const Bounds& bounds) {
  if (p < bounds.lo) return bounds.lo;
  if (p > bounds.hi) return bounds.hi;
  return p;
}

// Clamps the first min(values, bounds) entries and copies the rest; `out`
// has the size of `values`.
inline void clamp_to_bounds(std::span<const double> values, std::span<const Bounds> bounds, std::span<double> out) {
  const std::size_t clamped = std::min(values.size(), bounds.size());
  for (std::size_t j = 0; j < values.size(); ++j) out[j] = j < clamped ? clamp_to_bounds(values[j], bounds[j]) : values[j];
}

}  // namespace kelvra
