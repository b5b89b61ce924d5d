#include "fit/search_coordinates.h"

#include <algorithm>
#include <cmath>

namespace kelvra {
namespace {

// Keeps log10 finite for a parameter sitting exactly on its lower bound.
constexpr double kLogDistanceFloor = 1e-300;
constexpr double kBase = 10.0;
// The box of an open parameter spans this factor either side of its start
// magnitude, which is floored so that a start of 0 still gives a box.
constexpr double kBoxLowerFactor = 1e-4;
constexpr double kBoxUpperFactor = 1e4;
constexpr double kBoxMagnitudeFloor = 1e-6;

}  // namespace

bool is_open(const Bounds& bounds) { return !std::isfinite(bounds.hi); }

void to_search_coordinates(std::span<const Bounds> bounds, std::span<const double> physical, std::span<double> out) {
  const std::size_t mapped = std::min(bounds.size(), physical.size());
  for (std::size_t j = 0; j < physical.size(); ++j) {
    const double p = physical[j];
    out[j] = j < mapped && is_open(bounds[j]) ? std::log10(std::max(p - bounds[j].lo, kLogDistanceFloor)) : p;
  }
}

void to_physical(std::span<const Bounds> bounds, std::span<const double> search, std::span<double> out) {
  const std::size_t mapped = std::min(bounds.size(), search.size());
  for (std::size_t j = 0; j < search.size(); ++j) {
    const double u = search[j];
    out[j] = j < mapped && is_open(bounds[j]) ? std::pow(kBase, u) + bounds[j].lo : u;
  }
}

std::vector<double> to_search_coordinates(std::span<const Bounds> bounds, std::span<const double> physical) {
  std::vector<double> out(physical.size());
  to_search_coordinates(bounds, physical, out);
  return out;
}

std::vector<double> to_physical(std::span<const Bounds> bounds, std::span<const double> search) {
  std::vector<double> out(search.size());
  to_physical(bounds, search, out);
  return out;
}

SearchBox pso_search_box(std::span<const Bounds> bounds, std::span<const double> start) {
  const std::size_t n = std::min(bounds.size(), start.size());
  SearchBox box{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t j = 0; j < n; ++j) {
    const Bounds& b = bounds[j];
    if (!is_open(b)) {
      box.lower[j] = b.lo;
      box.upper[j] = b.hi;
      continue;
    }
    const double magnitude = std::max(std::abs(start[j]), kBoxMagnitudeFloor);
    box.lower[j] = std::log10(std::max(std::max(kBoxLowerFactor * magnitude, b.lo) - b.lo, kLogDistanceFloor));
    box.upper[j] = std::log10(std::max(kBoxUpperFactor * magnitude - b.lo, kLogDistanceFloor));
  }
  return box;
}

}  // namespace kelvra
