#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

#include "circuit/evaluate.h"
#include "fit/total_order.h"
#include "nn/network.h"

namespace kelvra {

namespace {

constexpr double kPi = 3.141592653589793;
// Below this total reactive weight the spectrum has no capacitive part to
// centre the scales on, and the centre of the whole band is used instead.
constexpr double kMinReactiveWeight = 1e-9;
// Input scalings the networks were trained with; they keep every channel
// and extra scalar of order one.
constexpr double kLogOmegaScale = 0.25;
constexpr double kSpanScale = 0.125;
constexpr double kLogCountScale = 0.5;

struct Scales {
  double r_scale;
  double omega_scale;
};

double modulus(Complex z) { return std::hypot(z.re, z.im); }

// "reactive_centroid": geometric means of |Z| and of omega, each point
// weighted by how capacitive it is, so the scales sit where the arcs are.
Scales reactive_centroid(std::span<const double> frequencies, std::span<const Complex> impedances) {
  const std::size_t n = frequencies.size();
  double total = 0.0;
  double log_modulus_sum = 0.0;
  double log_omega_sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double f = frequencies[i];
    const double m = modulus(impedances[i]);
    if (f <= 0.0 || m <= 0.0) continue;
    const double quotient = -impedances[i].im / m;
    // A NaN quotient, like an inductive point, carries no weight.
    const double w = quotient > 0.0 ? quotient : 0.0;
    total += w;
    log_modulus_sum += w * std::log(m);
    log_omega_sum += w * std::log(kTwoPi * f);
  }
  if (total >= kMinReactiveWeight) {
    return {std::exp(log_modulus_sum / total), std::exp(log_omega_sum / total)};
  }
  double log_omega_all = 0.0;
  std::vector<double> moduli(n);
  for (std::size_t i = 0; i < n; ++i) {
    log_omega_all += std::log(kTwoPi * frequencies[i]);
    moduli[i] = modulus(impedances[i]);
  }
  // The total order keeps the sort well defined when a modulus is NaN.
  std::sort(moduli.begin(), moduli.end(), total_order_less);
  // Upper median: for an even count, the upper of the two middle values.
  return {moduli[n / 2], std::exp(log_omega_all / static_cast<double>(n))};
}

// Phase continued across the +-pi cut, each step taken as the shortest
// turn; an exact -pi step reached from a positive difference reads as +pi.
double unwrapped_step(double previous, double angle) {
  const double d = angle - previous;
  double wrapped = d - kTwoPi * std::floor((d + kPi) / kTwoPi);
  if (wrapped == -kPi && d > 0.0) wrapped = kPi;
  return previous + wrapped;
}

}  // namespace

double interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
  const std::size_t last = xs.size() - 1;
  if (x <= xs[0]) return ys[0];
  if (x >= xs[last]) return ys[last];
  // j = number of xs <= x, so xs[j-1] <= x < xs[j]. The clamp keeps NaN
  // abscissae (which break the ordering) from indexing outside the table.
  const auto j = std::clamp<std::size_t>(
      static_cast<std::size_t>(std::upper_bound(xs.begin(), xs.end(), x) - xs.begin()), 1, last);
  const double x0 = xs[j - 1];
  const double x1 = xs[j];
  if (x0 == x1) return ys[j - 1];
  return ys[j - 1] + (x - x0) * (ys[j] - ys[j - 1]) / (x1 - x0);
}

SpectrumFeatures features(const Guesser& guesser, std::span<const double> frequencies,
                          std::span<const Complex> impedances) {
  const std::size_t n = std::min(frequencies.size(), impedances.size());
  frequencies = frequencies.first(n);
  impedances = impedances.first(n);
  const Scales scales = reactive_centroid(frequencies, impedances);

  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return total_order_less(frequencies[a], frequencies[b]);
  });
  std::vector<double> lf(n);
  std::vector<double> lm(n);
  std::vector<double> phase(n);
  for (std::size_t k = 0; k < n; ++k) {
    const Complex z = impedances[order[k]];
    lf[k] = std::log10(frequencies[order[k]]);
    lm[k] = std::log10(modulus(z));
    const double angle = std::atan2(z.im, z.re);
    phase[k] = k == 0 ? angle : unwrapped_step(phase[k - 1], angle);
  }

  const std::size_t grid = guesser.n_grid;
  const double span = lf[n - 1] - lf[0];
  const double step = grid > 1 ? span / static_cast<double>(grid - 1) : 0.0;
  const double log_r_scale = std::log10(scales.r_scale);
  const double log_centre_hz = std::log10(scales.omega_scale / kTwoPi);

  SpectrumFeatures out;
  out.image.resize(kInputChannels * grid);
  double* const modulus_channel = out.image.data();
  double* const phase_channel = modulus_channel + grid;
  double* const frequency_channel = phase_channel + grid;
  for (std::size_t g = 0; g < grid; ++g) {
    const double x = static_cast<double>(g) * step + lf[0];
    modulus_channel[g] = interpolate(lf, lm, x) - log_r_scale;
    phase_channel[g] = interpolate(lf, phase, x) / kHalfPi;
    frequency_channel[g] = (x - log_centre_hz) * kLogOmegaScale;
  }
  out.extras = {span * kSpanScale, std::log10(static_cast<double>(n)) * kLogCountScale};
  out.r_scale = scales.r_scale;
  out.omega_scale = scales.omega_scale;
  return out;
}

}  // namespace kelvra
