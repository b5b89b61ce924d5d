#include "fit/prepared_spectrum.h"

#include <cmath>
#include <utility>

#include "circuit/evaluate.h"

namespace kelvra {
namespace {

// Weight floor: a measured point of 0 + 0j (or a NaN modulus) would divide
// by zero; 1e-30 keeps its residuals finite for a finite model.
constexpr double kMinWeight = 1e-30;

}  // namespace

std::vector<double> compute_weights(std::span<const Complex> measured, Weighting weighting) {
  std::vector<double> weights(measured.size(), 1.0);
  if (weighting == Weighting::Modulus) {
    for (std::size_t k = 0; k < measured.size(); ++k) {
      const double modulus = std::hypot(measured[k].re, measured[k].im);
      // Written so that a NaN modulus also takes the floor.
      weights[k] = modulus >= kMinWeight ? modulus : kMinWeight;
    }
  }
  return weights;
}

PreparedSpectrum PreparedSpectrum::from(const Spectrum& spectrum, Weighting weighting) {
  std::vector<double> omega(spectrum.frequencies.size());
  for (std::size_t k = 0; k < omega.size(); ++k) omega[k] = spectrum.frequencies[k] * kTwoPi;
  return PreparedSpectrum(std::move(omega), spectrum.impedances, compute_weights(spectrum.impedances, weighting));
}

PreparedSpectrum::PreparedSpectrum(std::vector<double> omega, std::vector<Complex> measured,
                                   std::vector<double> weights)
    : omega_(std::move(omega)),
      log_omega_(omega_.size()),
      measured_(std::move(measured)),
      weights_(std::move(weights)),
      inverse_weights_(weights_.size()) {
  for (std::size_t k = 0; k < omega_.size(); ++k) log_omega_[k] = std::log(omega_[k]);
  for (std::size_t k = 0; k < weights_.size(); ++k) inverse_weights_[k] = 1.0 / weights_[k];
}

}  // namespace kelvra
