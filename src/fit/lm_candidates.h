// The starting points of the multi-start fit and the test that ends it early
// with a physically plausible result.
#pragma once

#include <span>
#include <vector>

#include "elements/element.h"

namespace kelvra {

// p0 itself; p0 with the open parameters scaled by 3, 1/3, 8 and 1/8; p0
// with the bounded parameters at 20, 40, 60 and 80 % of their range. Over
// the first min(p0, bounds) parameters; the rest keep their p0 value.
std::vector<std::vector<double>> candidate_starting_points(std::span<const double> p0,
                                                           std::span<const Bounds> bounds);

// A converged result with a finite cost whose bounded parameters stay
// clear of their bounds and whose open parameters stay above 100 lo and
// within six decades of their start values p0 (ratio in [1e-6, 1e6)).
bool is_plausible(std::span<const double> params, double cost, bool success, std::span<const double> p0,
                  std::span<const Bounds> bounds);

}  // namespace kelvra
