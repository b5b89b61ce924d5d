// Complex arithmetic exactly as the impedance formulas are written: plain
// IEEE products and quotients a*conj(b)/|b|^2 without scaling, so results
// (and their NaN/inf behaviour) do not depend on the C++ library's complex
// division or on Annex G recovery. Layout-compatible with double[2].
#pragma once

#include <cmath>

namespace kelvra {

struct Complex {
  double re = 0.0;
  double im = 0.0;
};

constexpr Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
constexpr Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
constexpr Complex operator*(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
constexpr Complex operator*(double s, Complex a) { return {s * a.re, s * a.im}; }

// a / b as a * conj(b) / (re^2 + im^2).
constexpr Complex quotient(Complex a, Complex b) {
  const double den = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / den, (a.im * b.re - a.re * b.im) / den};
}
constexpr Complex reciprocal(Complex b) { return quotient({1.0, 0.0}, b); }

// The exponents the catalogue's defaults and limiting cases use most get
// exact results instead of the rounding of the polar form.
inline constexpr double kIdentityExponent = 1.0;
inline constexpr double kSquareRootExponent = 0.5;
inline constexpr double kZeroExponent = 0.0;

// Principal square root with the exact branch rules of the catalogue.
Complex principal_sqrt(Complex z);
// z^e with fast paths for e == 1, 0.5 and 0, otherwise the polar form.
Complex cpow(Complex z, double e);

// The angle atan2(x, 0) of j*x for x > 0: the double nearest pi/2.
inline constexpr double kHalfPi = 1.5707963267948966;

// cos(e*pi/2) + j sin(e*pi/2): the phase of (j x)^e for x > 0, which does
// not depend on x. Computed once per element and spectrum, it saves the
// hypot, atan2, cos and sin of every frequency.
Complex imaginary_unit_power(double e);
// Whether imaginary_power(x, e, ...) with x > 0 takes the polar form, the
// only path that needs pow(x, e): false for the exponents with exact results.
constexpr bool takes_polar_form(double e) {
  return e != kIdentityExponent && e != kSquareRootExponent && e != kZeroExponent;
}

// cpow(j*x, e), bit for bit, given unit_power = imaginary_unit_power(e) and
// a modulus() returning pow(x, e), called only on the polar path. A caller
// with many frequencies can thus run all its pow calls in one tight loop
// first and hand the stored values in.
// Inline: it sits on every frequency of the power-law elements, where a
// call in front of the call to pow costs as much as the arithmetic around it.
template <class Modulus>
inline Complex imaginary_power(double x, double e, Complex unit_power, Modulus modulus) {
  // Same fast paths, in the same order, as cpow.
  if (e == kIdentityExponent) return {0.0, x};
  if (e == kSquareRootExponent) return principal_sqrt({0.0, x});
  if (e == kZeroExponent) return {1.0, 0.0};
  // For x > 0 (+inf included) hypot(0, x) is x and atan2(x, 0) is kHalfPi
  // exactly, so this is cpow's polar form with its cos and sin hoisted.
  if (x > 0.0) {
    const double m = modulus();
    return {m * unit_power.re, m * unit_power.im};
  }
  return cpow({0.0, x}, e);
}

inline Complex imaginary_power(double x, double e, Complex unit_power) {
  return imaginary_power(x, e, unit_power, [x, e] { return std::pow(x, e); });
}

// Beyond |Re z| = 20, tanh, coth and csch differ from their limits by less
// than 4e-35 relative, far below double resolution; taking the limits keeps
// sinh and cosh of large arguments from overflowing into inf/inf = NaN.
inline constexpr double kTanhSaturation = 20.0;

// tanh saturating to exactly ±1 when |Re z| > kTanhSaturation.
Complex tanh_g(Complex z);
// coth and csch of beta, saturating to ±1 and 0 when |Re beta| > 20.
struct CothCsch {
  Complex coth;
  Complex csch;
};
CothCsch coth_csch_g(Complex beta);

}  // namespace kelvra
