// The tanh form of the Gaussian error linear unit, evaluated in the order
// the networks were exported with.
#pragma once

#include <cmath>

namespace kelvra {

inline constexpr double kGeluCubic = 0.044715;
inline constexpr double kSqrtTwoOverPi = 0.7978845608028654;

inline double gelu(double x) {
  return (std::tanh((((kGeluCubic * x) * x) * x + x) * kSqrtTwoOverPi) + 1.0) * (0.5 * x);
}

}  // namespace kelvra
