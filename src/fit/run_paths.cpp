#include "fit/run_paths.h"

#include <algorithm>
#include <cmath>

#include "fit/search_coordinates.h"

namespace kelvra {

RunPaths::RunPaths(std::span<const Bounds> bounds) {
  scales_.reserve(bounds.size());
  for (const Bounds& b : bounds) scales_.push_back(is_open(b) ? 1.0 : b.hi - b.lo);
}

void RunPaths::record(std::span<const double> u, double sum_of_squares) {
  if (u.size() != scales_.size() || !std::isfinite(sum_of_squares)) return;
  coordinates_.insert(coordinates_.end(), u.begin(), u.end());
  closed_.emplace_back(sum_of_squares, coordinates_.size() / scales_.size() - 1);
}

void RunPaths::close_path() {
  // The points of the path just walked were appended unsorted after the
  // sorted closed ones.
  const auto walked = closed_.begin() + static_cast<std::ptrdiff_t>(open_from_);
  std::sort(walked, closed_.end());
  std::inplace_merge(closed_.begin(), walked, closed_.end());
  open_from_ = closed_.size();
}

bool RunPaths::near(std::span<const double> u, std::size_t point) const {
  const double* at = coordinates_.data() + point * scales_.size();
  for (std::size_t j = 0; j < scales_.size(); ++j) {
    if (!(std::abs(u[j] - at[j]) <= kJoinDistance * scales_[j])) return false;
  }
  return true;
}

bool RunPaths::joins(std::span<const double> u, double sum_of_squares) const {
  if (u.size() != scales_.size() || !std::isfinite(sum_of_squares)) return false;
  const auto closed_end = closed_.begin() + static_cast<std::ptrdiff_t>(open_from_);
  const double low = sum_of_squares * (1.0 - kJoinTolerance);
  const double high = sum_of_squares * (1.0 + kJoinTolerance);
  auto it = std::lower_bound(closed_.begin(), closed_end, std::pair{low, std::size_t{0}});
  for (; it != closed_end && it->first <= high; ++it) {
    if (near(u, it->second)) return true;
  }
  return false;
}

}  // namespace kelvra
