// Circuits and noiseless synthetic spectra for the fitting engine's tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/grammar.h"
#include "circuit/tree.h"
#include "fit/residuals.h"

namespace kelvra::fit_testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline Series circuit_of(std::string_view text) {
  Result<Series, ParseError> parsed = parse(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? parsed.value() : Series{};
}

// `count` frequencies log-spaced from 10^lo_decade to 10^hi_decade Hz.
inline std::vector<double> log_frequencies(std::size_t count, double lo_decade, double hi_decade) {
  std::vector<double> f(count);
  for (std::size_t k = 0; k < count; ++k) {
    const double t = count > 1 ? static_cast<double>(k) / static_cast<double>(count - 1) : 0.0;
    f[k] = std::pow(10.0, lo_decade + t * (hi_decade - lo_decade));
  }
  return f;
}

// The circuit's exact impedance at `params`, evaluated at the angular
// frequencies a fit will compute from these frequencies.
inline Spectrum synthetic_spectrum(const Series& circuit, std::span<const double> params,
                                   std::vector<double> frequencies) {
  Spectrum spectrum{std::move(frequencies), {}};
  for (const double f : spectrum.frequencies) {
    spectrum.impedances.push_back(series_impedance_with_params(circuit, params, f * kTwoPi));
  }
  return spectrum;
}

}  // namespace kelvra::fit_testing
