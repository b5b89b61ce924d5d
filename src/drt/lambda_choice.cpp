#include "drt/lambda_choice.h"

#include <cmath>
#include <limits>

#include "support/interrupt.h"

namespace kelvra {

double gcv_score(const RidgeSpectrum& spectrum, double lambda, double rho) {
  const double rows = static_cast<double>(spectrum.rows);
  const double freedom = rows - rho * spectrum.influence_trace(lambda);
  if (!(freedom > 0.0)) return std::numeric_limits<double>::infinity();
  return rows * spectrum.residual2(lambda) / (freedom * freedom);
}

double modified_gcv_weight(std::size_t rows) {
  return rows < kModifiedGcvLargeRows ? kModifiedGcvSmall : kModifiedGcvLarge;
}

double minimise_over_lambda(const std::function<double(double)>& score, double low, double high) {
  const double first = std::log10(low);
  const double last = std::log10(high);
  const auto intervals = static_cast<std::size_t>(std::ceil((last - first) * kScanPointsPerDecade));
  const double step = (last - first) / static_cast<double>(intervals);
  auto at = [&](double exponent) {
    const double value = score(std::pow(10.0, exponent));
    return std::isnan(value) ? std::numeric_limits<double>::infinity() : value;
  };
  std::size_t best = 0;
  double best_value = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i <= intervals; ++i) {
    poll_interrupt();
    const double value = at(first + static_cast<double>(i) * step);
    if (value < best_value) {
      best_value = value;
      best = i;
    }
  }
  // Golden section on [best - 1, best + 1] of the scan, clipped to the range.
  double a = first + static_cast<double>(best == 0 ? 0 : best - 1) * step;
  double b = first + static_cast<double>(best == intervals ? intervals : best + 1) * step;
  const double ratio = (std::sqrt(5.0) - 1.0) / 2.0;
  double c = b - ratio * (b - a);
  double d = a + ratio * (b - a);
  double fc = at(c);
  double fd = at(d);
  while (b - a > kLog10Tolerance) {
    if (fc <= fd) {
      b = d;
      d = c;
      fd = fc;
      c = b - ratio * (b - a);
      fc = at(c);
    } else {
      a = c;
      c = d;
      fc = fd;
      d = a + ratio * (b - a);
      fd = at(d);
    }
  }
  const double scanned = first + static_cast<double>(best) * step;
  const double refined = 0.5 * (a + b);
  // The section can only improve on the scan for a unimodal neighbourhood;
  // keep the scanned point when it did not.
  return std::pow(10.0, at(refined) <= best_value ? refined : scanned);
}

}  // namespace kelvra
