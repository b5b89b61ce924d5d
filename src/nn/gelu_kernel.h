// The tanh form of the Gaussian error linear unit over a run of values,
// vectorised:
//   GELU(x) = (tanh(z) + 1) * (0.5 * x),  z = (((0.044715 x) x) x + x) * sqrt(2/pi)
// is evaluated as x / (1 + exp(-2 z)), the same function, which needs one
// exponential (computed here in registers) instead of a library tanh per
// value, and does not lose the digits of tanh(z) + 1 for negative z.
#pragma once

#include <cstddef>

#include "nn/cpu_variant.h"

namespace kelvra {

inline constexpr double kGeluCubic = 0.044715;
inline constexpr double kSqrtTwoOverPi = 0.7978845608028654;

// The variant this processor runs best.
void gelu_in_place(double* values, std::size_t count);
// A given variant, which the processor must support.
void gelu_in_place(CpuVariant variant, double* values, std::size_t count);

}  // namespace kelvra
