// Peaks of a distribution of relaxation times: the processes it shows.
#pragma once

#include <span>
#include <vector>

namespace kelvra {

struct DrtPeak {
  double tau = 0.0;         // s, at the maximum (parabola through the top three points)
  double resistance = 0.0;  // ohm: the area of gamma between the valleys on either side
  double width = 0.0;       // decades: full width at half the peak's height
  double height = 0.0;      // gamma at the top, ohm
  double prominence = 0.0;  // ohm: height above the higher of its two bases
};

// A maximum is reported when its prominence (its height above the higher of
// the lowest points between it and a higher maximum on either side, or the
// end of the grid) is at least this fraction of the largest gamma. With
// 0.5 % noise the regularised DRT of a single arc (exponents 0.65 to 1)
// shows side ripples up to about 10 % of its peak: at a 5 % cut one
// spectrum in five reported a ghost process, at 10 % three in a hundred.
inline constexpr double kMinRelativeProminence = 0.1;

// Peaks of gamma sampled at the uniform points `log_tau` (ln of seconds),
// ordered by tau. Each reported peak owns the stretch between the deepest
// points of gamma that separate it from its reported neighbours; its
// resistance is the trapezoidal integral of gamma over that stretch, and
// its width is measured within it.
std::vector<DrtPeak> find_peaks(std::span<const double> log_tau, std::span<const double> gamma,
                                double min_relative_prominence = kMinRelativeProminence);

}  // namespace kelvra
