#include "elements/complex.h"

#include <cmath>

namespace kelvra {
namespace {

Complex polar(double modulus, double angle) { return {modulus * std::cos(angle), modulus * std::sin(angle)}; }

}  // namespace

Complex principal_sqrt(Complex z) {
  if (z.im == 0.0) {
    // On the real axis the sign bit of re decides, so -0 takes the
    // imaginary branch with the sign of im.
    if (!std::signbit(z.re)) return {std::sqrt(z.re), z.im};
    return {0.0, std::copysign(std::sqrt(-z.re), z.im)};
  }
  if (z.re == 0.0) {
    const double x = std::sqrt(std::fabs(z.im) / 2.0);
    return {x, std::copysign(x, z.im)};
  }
  return polar(std::sqrt(std::hypot(z.re, z.im)), std::atan2(z.im, z.re) / 2.0);
}

Complex cpow(Complex z, double e) {
  if (e == kIdentityExponent) return z;
  if (e == kSquareRootExponent) return principal_sqrt(z);
  if (e == kZeroExponent) return {1.0, 0.0};
  return polar(std::pow(std::hypot(z.re, z.im), e), e * std::atan2(z.im, z.re));
}

Complex imaginary_unit_power(double e) { return polar(1.0, e * kHalfPi); }

Complex tanh_g(Complex z) {
  if (std::fabs(z.re) > kTanhSaturation) return {std::copysign(1.0, z.re), 0.0};
  const double den = std::cosh(2.0 * z.re) + std::cos(2.0 * z.im);
  return {std::sinh(2.0 * z.re) / den, std::sin(2.0 * z.im) / den};
}

CothCsch coth_csch_g(Complex beta) {
  if (std::fabs(beta.re) > kTanhSaturation) return {{std::copysign(1.0, beta.re), 0.0}, {0.0, 0.0}};
  const double sinh_x = std::sinh(beta.re);
  const double cosh_x = std::cosh(beta.re);
  const double cos_y = std::cos(beta.im);
  const double sin_y = std::sin(beta.im);
  const Complex sinh_beta{sinh_x * cos_y, cosh_x * sin_y};
  const Complex cosh_beta{cosh_x * cos_y, sinh_x * sin_y};
  return {quotient(cosh_beta, sinh_beta), reciprocal(sinh_beta)};
}

}  // namespace kelvra
