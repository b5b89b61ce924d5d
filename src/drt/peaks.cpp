#include "drt/peaks.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kelvra {

namespace {

// The lowest gamma between index i and the nearest point higher than
// gamma[i] in direction `step` (or the end of the grid).
double base_towards(std::span<const double> gamma, std::size_t i, int step) {
  double lowest = gamma[i];
  for (std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) + step;
       j >= 0 && j < static_cast<std::ptrdiff_t>(gamma.size()); j += step) {
    if (gamma[static_cast<std::size_t>(j)] > gamma[i]) break;
    lowest = std::min(lowest, gamma[static_cast<std::size_t>(j)]);
  }
  return lowest;
}

// ln tau where gamma crosses `level` walking from `top` towards `end`
// (exclusive of neither), by linear interpolation; the end point when it
// never does.
double crossing(std::span<const double> log_tau, std::span<const double> gamma, std::size_t top, std::size_t end,
                double level) {
  const int step = end >= top ? 1 : -1;
  for (std::size_t j = top; j != end;) {
    const std::size_t next = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(j) + step);
    if (gamma[next] < level) {
      const double fraction = (gamma[j] - level) / (gamma[j] - gamma[next]);
      return log_tau[j] + fraction * (log_tau[next] - log_tau[j]);
    }
    j = next;
  }
  return log_tau[end];
}

}  // namespace

std::vector<DrtPeak> find_peaks(std::span<const double> log_tau, std::span<const double> gamma,
                                double min_relative_prominence) {
  const std::size_t n = gamma.size();
  std::vector<DrtPeak> peaks;
  if (n < 3) return peaks;
  const double largest = *std::max_element(gamma.begin(), gamma.end());
  if (!(largest > 0.0)) return peaks;
  std::vector<std::size_t> tops;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    // A plateau counts once, at its first point.
    if (gamma[i] > gamma[i - 1] && gamma[i] >= gamma[i + 1] && gamma[i] > 0.0) {
      const double prominence = gamma[i] - std::max(base_towards(gamma, i, -1), base_towards(gamma, i, 1));
      if (prominence >= min_relative_prominence * largest) {
        tops.push_back(i);
        DrtPeak peak;
        peak.prominence = prominence;
        peaks.push_back(peak);
      }
    }
  }
  // The valleys: the lowest point between consecutive tops.
  std::vector<std::size_t> bounds{0};
  for (std::size_t k = 0; k + 1 < tops.size(); ++k) {
    const auto from = gamma.begin() + static_cast<std::ptrdiff_t>(tops[k]);
    const auto to = gamma.begin() + static_cast<std::ptrdiff_t>(tops[k + 1]) + 1;
    bounds.push_back(static_cast<std::size_t>(std::min_element(from, to) - gamma.begin()));
  }
  bounds.push_back(n - 1);
  for (std::size_t k = 0; k < tops.size(); ++k) {
    const std::size_t i = tops[k];
    DrtPeak& peak = peaks[k];
    // The vertex of the parabola through the top and its neighbours.
    const double left = gamma[i - 1];
    const double mid = gamma[i];
    const double right = gamma[i + 1];
    const double curvature = left - 2.0 * mid + right;
    double shift = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
    shift = std::clamp(shift, -0.5, 0.5);
    const double spacing = log_tau[i + 1] - log_tau[i];
    peak.tau = std::exp(log_tau[i] + shift * spacing);
    peak.height = mid - 0.25 * (left - right) * shift;
    double area = 0.0;
    for (std::size_t j = bounds[k]; j < bounds[k + 1]; ++j) {
      area += 0.5 * (gamma[j] + gamma[j + 1]) * (log_tau[j + 1] - log_tau[j]);
    }
    peak.resistance = area;
    const double half = 0.5 * peak.height;
    const double low = crossing(log_tau, gamma, i, bounds[k], half);
    const double high = crossing(log_tau, gamma, i, bounds[k + 1], half);
    peak.width = (high - low) / std::numbers::ln10;
  }
  return peaks;
}

}  // namespace kelvra
