// Inference: a spectrum in, the network's predicted circuit parameters out,
// in the weight file's param_names order and in physical units.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "elements/complex.h"
#include "nn/guesser.h"
#include "nn/nn_error.h"
#include "nn/packed_network.h"
#include "support/result.h"

namespace kelvra {

// The scale-free network input of one spectrum: 3 channels x n_grid
// positions, channel-major, two extra scalars, and the two physical scales
// that the output decoding puts back.
struct SpectrumFeatures {
  std::vector<double> image;
  std::array<double, 2> extras;
  double r_scale;      // ohm
  double omega_scale;  // rad/s
};

// Needs at least one point; where the two spans differ, the shorter length
// counts.
SpectrumFeatures features(const Guesser& guesser, std::span<const double> frequencies,
                          std::span<const Complex> impedances);

// Clamped piecewise-linear interpolation over ascending xs.
double interpolate(std::span<const double> xs, std::span<const double> ys, double x);

// A loaded file with its weights rearranged once for fast inference. It is
// immutable, so any number of threads may predict with one at once.
class Predictor {
 public:
  // `guesser` must come from from_bytes, which has checked its shapes.
  explicit Predictor(Guesser guesser);

  const Guesser& guesser() const { return guesser_; }

  // TooFewPoints below two points; non-finite input gives non-finite
  // parameters, not an error.
  Result<std::vector<double>, NnError> predict(std::span<const double> frequencies,
                                               std::span<const Complex> impedances) const;

 private:
  Guesser guesser_;
  PackedNetwork network_;
};

}  // namespace kelvra
