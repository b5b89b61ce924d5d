// A measured spectrum and the form every evaluation reads it in: angular
// frequencies, measured impedances and weights, derived once per fit or
// evaluation call in one place.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "elements/complex.h"

namespace kelvra {

enum class Weighting { Modulus, Unit };

// A measured spectrum as the user gave it: frequencies in hertz, in input
// order.
struct Spectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

// Modulus: max(hypot(re, im), 1e-30), NaN -> 1e-30. Unit: 1.0.
std::vector<double> compute_weights(std::span<const Complex> measured, Weighting weighting);

// Angular frequencies 2*pi*f, measured impedances and their weights, all of
// length K, owned and never changed after preparation, so that the views
// handed to the residuals stay valid for as long as the value lives.
class PreparedSpectrum {
 public:
  // `spectrum` holds as many impedances as frequencies (check_fit_inputs, or
  // the binding's conversion, makes sure first).
  static PreparedSpectrum from(const Spectrum& spectrum, Weighting weighting);

  std::span<const double> omega() const { return omega_; }
  // ln(omega), for the derivatives of the power-law elements.
  std::span<const double> log_omega() const { return log_omega_; }
  std::span<const Complex> measured() const { return measured_; }
  std::span<const double> weights() const { return weights_; }
  // 1 / weights, for the analytic Jacobian, which is held to its value
  // rather than to the bits of the residuals' quotients.
  std::span<const double> inverse_weights() const { return inverse_weights_; }
  std::size_t point_count() const { return omega_.size(); }
  std::size_t residual_count() const { return 2 * omega_.size(); }

 private:
  PreparedSpectrum(std::vector<double> omega, std::vector<Complex> measured, std::vector<double> weights);

  std::vector<double> omega_;
  std::vector<double> log_omega_;
  std::vector<Complex> measured_;
  std::vector<double> weights_;
  std::vector<double> inverse_weights_;
};

}  // namespace kelvra
