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
  if (scales_.empty() || u.size() != scales_.size() || !std::isfinite(sum_of_squares)) return;
  coordinates_.insert(coordinates_.end(), u.begin(), u.end());
  points_.emplace_back(sum_of_squares, coordinates_.size() / scales_.size() - 1);
}

void RunPaths::close_path() {
  const auto walked = points_.begin() + static_cast<std::ptrdiff_t>(open_from_);
  std::sort(walked, points_.end());
  std::inplace_merge(points_.begin(), walked, points_.end());
  open_from_ = points_.size();
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
  const auto closed_end = points_.begin() + static_cast<std::ptrdiff_t>(open_from_);
  const double low = sum_of_squares * (1.0 - kJoinTolerance);
  const double high = sum_of_squares * (1.0 + kJoinTolerance);
  auto it = std::lower_bound(points_.begin(), closed_end, std::pair{low, std::size_t{0}});
  for (; it != closed_end && it->first <= high; ++it) {
    if (near(u, it->second)) return true;
  }
  return false;
}

}  // namespace kelvra
