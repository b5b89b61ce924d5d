#include "fit/lm_candidates.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "fit/search_coordinates.h"

namespace kelvra {
namespace {

// Open parameters tried at a few multiples of their start: half a decade
// either way, then nearly a decade either way.
constexpr std::array<double, 4> kOpenScales = {3.0, 1.0 / 3.0, 8.0, 0.125};
// Bounded parameters tried spread across their range.
constexpr std::array<double, 4> kBoundedFractions = {0.2, 0.4, 0.6, 0.8};

// A bounded parameter closer to a bound than this fraction of its range is
// taken as stuck there.
constexpr double kBoundMarginFraction = 1e-6;
// An open parameter must end this far above its lower bound...
constexpr double kMinMultipleOfLowerBound = 100.0;
// ...and within these factors of its start value (lower inclusive, upper
// exclusive).
constexpr double kMinRatioToStart = 1e-6;
constexpr double kMaxRatioToStart = 1e6;
// Floor on |p0| so that a start of 0 does not divide by zero.
constexpr double kMinStartMagnitude = 1e-300;

bool open_parameter_plausible(double p, double start, const Bounds& bounds) {
  const double magnitude = std::abs(start);
  const double ratio = p / (magnitude < kMinStartMagnitude ? kMinStartMagnitude : magnitude);
  return p > kMinMultipleOfLowerBound * bounds.lo && std::isfinite(ratio) && ratio >= kMinRatioToStart &&
         ratio < kMaxRatioToStart;
}

bool bounded_parameter_plausible(double p, const Bounds& bounds) {
  const double margin = (bounds.hi - bounds.lo) * kBoundMarginFraction;
  return std::abs(p - bounds.lo) > margin && std::abs(bounds.hi - p) > margin;
}

}  // namespace

std::vector<std::vector<double>> candidate_starting_points(std::span<const double> p0,
                                                           std::span<const Bounds> bounds) {
  const std::size_t mapped = std::min(p0.size(), bounds.size());
  std::vector<std::vector<double>> candidates;
  candidates.reserve(1 + kOpenScales.size() + kBoundedFractions.size());
  candidates.emplace_back(p0.begin(), p0.end());
  for (const double scale : kOpenScales) {
    std::vector<double>& c = candidates.emplace_back(p0.begin(), p0.end());
    for (std::size_t j = 0; j < mapped; ++j) {
      if (is_open(bounds[j])) c[j] *= scale;
    }
  }
  for (const double t : kBoundedFractions) {
    std::vector<double>& c = candidates.emplace_back(p0.begin(), p0.end());
    for (std::size_t j = 0; j < mapped; ++j) {
      if (!is_open(bounds[j])) c[j] = bounds[j].lo + t * (bounds[j].hi - bounds[j].lo);
    }
  }
  return candidates;
}

bool is_plausible(std::span<const double> params, double cost, bool success, std::span<const double> p0,
                  std::span<const Bounds> bounds) {
  if (!success || !std::isfinite(cost)) return false;
  const std::size_t checked = std::min({p0.size(), params.size(), bounds.size()});
  for (std::size_t j = 0; j < checked; ++j) {
    const bool ok = is_open(bounds[j]) ? open_parameter_plausible(params[j], p0[j], bounds[j])
                                       : bounded_parameter_plausible(params[j], bounds[j]);
    if (!ok) return false;
  }
  return true;
}

}  // namespace kelvra
