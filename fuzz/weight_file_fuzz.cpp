// The weight-file loader on arbitrary bytes, and inference with whatever it
// accepts: a file either fails with an error that renders, or loads into a
// predictor that gives one value per parameter for any spectrum, without
// reading outside its tensors.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "elements/complex.h"
#include "nn/guesser.h"
#include "nn/network.h"

namespace {

// A one-arc spectrum over eight decades: ordinary input, so that a finding
// is about the file, not the spectrum.
constexpr std::size_t kPoints = 40;
constexpr double kMinExponent = -2.0;
constexpr double kMaxExponent = 6.0;
constexpr double kSeriesOhm = 10.0;
constexpr double kArcOhm = 100.0;
constexpr double kArcFarad = 1e-5;

struct Sweep {
  std::vector<double> frequencies;
  std::vector<kelvra::Complex> impedances;
};

Sweep one_arc() {
  Sweep out;
  for (std::size_t k = 0; k < kPoints; ++k) {
    const double exponent = kMinExponent + (kMaxExponent - kMinExponent) * static_cast<double>(k) / (kPoints - 1);
    const double f = std::pow(10.0, exponent);
    const double wrc = 2.0 * M_PI * f * kArcOhm * kArcFarad;
    out.frequencies.push_back(f);
    out.impedances.push_back({kSeriesOhm + kArcOhm / (1.0 + wrc * wrc), -kArcOhm * wrc / (1.0 + wrc * wrc)});
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto loaded = kelvra::from_bytes({data, size});
  if (!loaded) {
    if (kelvra::display(loaded.error()).empty()) __builtin_trap();
    return 0;
  }
  static const Sweep sweep = one_arc();
  const kelvra::Predictor predictor(std::move(loaded).value());
  const auto predicted = predictor.predict(sweep.frequencies, sweep.impedances);
  if (predicted && predicted.value().size() != predictor.guesser().param_names.size()) __builtin_trap();
  return 0;
}
