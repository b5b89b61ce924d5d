// The coordinates the global searches move in. An open parameter (upper
// bound infinite or NaN) is searched as log10 of its distance above the
// lower bound, so that a step means the same number of decades at any
// magnitude and the parameter never falls below its bound; a bounded one is
// searched as it is.
#pragma once

#include <span>
#include <vector>

#include "elements/element.h"

namespace kelvra {

bool is_open(const Bounds& bounds);

// Both mappings cover the first min(bounds, values) entries and copy any
// further ones unchanged; `out` has the length of the input.
void to_search_coordinates(std::span<const Bounds> bounds, std::span<const double> physical, std::span<double> out);
void to_physical(std::span<const Bounds> bounds, std::span<const double> search, std::span<double> out);

std::vector<double> to_search_coordinates(std::span<const Bounds> bounds, std::span<const double> physical);
std::vector<double> to_physical(std::span<const Bounds> bounds, std::span<const double> search);

// The box particle swarm and differential evolution sample from, in search
// coordinates: a bounded parameter's own interval, an open one's four
// decades either side of its start value's magnitude. One entry per
// min(bounds, start values).
struct SearchBox {
  std::vector<double> lower;
  std::vector<double> upper;
};

SearchBox pso_search_box(std::span<const Bounds> bounds, std::span<const double> start);

}  // namespace kelvra
