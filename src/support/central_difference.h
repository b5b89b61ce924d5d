// The step of a central difference, shared by the residuals' Jacobian and
// the derivative of a single element that has no closed form.
#pragma once

#include <cmath>

namespace kelvra {

// cbrt(DBL_EPSILON). A central difference has truncation error O(h^2) and
// rounding error O(eps/h); the two balance at h ~ eps^(1/3).
inline constexpr double kCbrtEpsilon = 6.055454452393343e-06;

// Magnitude floor for the step, so a parameter at zero still gets a nonzero
// step (about 6e-14).
inline constexpr double kMinStepScale = 1e-8;

// cbrt(eps) * max(|x|, 1e-8); NaN propagates into the step (and so into the
// difference) instead of taking the floor.
inline double central_difference_step(double x) {
  const double magnitude = std::abs(x);
  return kCbrtEpsilon * (magnitude < kMinStepScale ? kMinStepScale : magnitude);
}

}  // namespace kelvra
