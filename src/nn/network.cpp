#include "nn/network.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kelvra {

namespace {

constexpr std::size_t kMinPoints = 2;

// Undoes the training normalisation and puts the spectrum's scales back.
// Linear outputs are clamped before any of them enters an exponent, so a
// CPE's q is scaled with the alpha reported beside it.
std::vector<double> decode(const Guesser& guesser, const std::vector<double>& raw, double r_scale,
                           double omega_scale) {
  const std::size_t count = guesser.param_names.size();
  std::vector<double> reduced(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double v = guesser.target_mean[i] + guesser.target_std[i] * raw[i];
    reduced[i] = guesser.log_params[i] ? std::pow(10.0, v) : std::clamp(v, guesser.alpha_min, guesser.alpha_max);
  }
  std::vector<double> params(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Scaling& row = guesser.scaling[i];
    const double alpha_term = row.alpha_index >= 0 ? row.alpha_factor * reduced[row.alpha_index] : 0.0;
    params[i] = std::pow(r_scale, row.r_power) * reduced[i] * std::pow(omega_scale, row.omega_power + alpha_term);
  }
  return params;
}

}  // namespace

Predictor::Predictor(Guesser guesser) : guesser_(std::move(guesser)), network_(pack_network(guesser_)) {}

Result<std::vector<double>, NnError> Predictor::predict(std::span<const double> frequencies,
                                                        std::span<const Complex> impedances) const {
  const std::size_t points = std::min(frequencies.size(), impedances.size());
  if (points < kMinPoints) return fail(NnError{TooFewPoints{points}});
  const SpectrumFeatures input = features(guesser_, frequencies, impedances);
  return decode(guesser_, forward(network_, input.image, input.extras, best_variant()), input.r_scale, input.omega_scale);
}

}  // namespace kelvra
