#include "elements/element_derivative.h"

#include <array>
#include <cmath>
#include <cstddef>

#include "support/vector_clones.h"

namespace kelvra {
namespace {

// ln(j x) = ln x + j pi/2 for x > 0, from ln x: the derivative of (j x)^e
// with respect to e is (j x)^e ln(j x).
Complex log_of_imaginary(double log_x) { return {log_x, kHalfPi}; }

// One frequency as the formulas read it.
struct Point {
  double omega;
  double log_omega;
  Complex z;  // the element's impedance there
};

Complex scaled(double s, Complex z) { return {s * z.re, s * z.im}; }

// One function per kind writes the kind's field derivatives at one
// frequency into d[0..param_count).
void resistor(const PreparedElement&, const Point&, Complex* d) { d[0] = {1.0, 0.0}; }

// Z = 1 / (j omega c): dZ/dc = -Z / c.
void capacitor(const PreparedElement& e, const Point& at, Complex* d) { d[0] = scaled(-1.0 / e.element.params[0], at.z); }

// Z = j omega l.
void inductor(const PreparedElement&, const Point& at, Complex* d) { d[0] = {0.0, at.omega}; }

// Z = (j omega l)^alpha.
void fractional_inductor(const PreparedElement& e, const Point& at, Complex* d) {
  const double l = e.element.params[0];
  const double alpha = e.element.params[1];
  d[0] = scaled(alpha / l, at.z);
  d[1] = at.z * log_of_imaginary(at.log_omega + std::log(l));
}

// Z = 1 / (q (j omega)^alpha).
void constant_phase(const PreparedElement& e, const Point& at, Complex* d) {
  d[0] = scaled(-1.0 / e.element.params[0], at.z);
  d[1] = scaled(-1.0, at.z * log_of_imaginary(at.log_omega));
}

// Z = aw (1 - j) / sqrt(omega).
void warburg(const PreparedElement&, const Point& at, Complex* d) {
  const double root = std::sqrt(at.omega);
  d[0] = {1.0 / root, -1.0 / root};
}

// Z = z0 / (s tanh s) with s = sqrt(j omega tau) = x (1 + j), x = sqrt(omega
// tau / 2): dZ/dtau = -(Z (1 + s / tanh s) - z0) / (2 tau), where s / tanh s
// is j omega tau Z / z0, so Z alone gives it without a hyperbolic function.
// Where tanh s is 1 to double precision (the impedance saturates at the same
// x), Z (1 + s) and z0 would cancel to rounding noise; there Z = z0 / s, whose
// derivative is -Z / (2 tau).
void warburg_open(const PreparedElement& e, const Point& at, Complex* d) {
  const double z0 = e.element.params[0];
  const double tau = e.element.params[1];
  const double omega_tau = at.omega * tau;
  const Complex z_per_z0 = scaled(1.0 / z0, at.z);
  d[0] = z_per_z0;
  if (std::sqrt(omega_tau / 2.0) > kTanhSaturation) {
    d[1] = scaled(-0.5 / tau, at.z);
    return;
  }
  const Complex s_over_tanh = Complex{0.0, omega_tau} * z_per_z0;
  d[1] = scaled(-0.5 / tau, at.z * (Complex{1.0, 0.0} + s_over_tanh) - Complex{z0, 0.0});
}

// Z = rg / s with s = sqrt(1 + j omega tg).
void gerischer(const PreparedElement& e, const Point& at, Complex* d) {
  const double rg = e.element.params[0];
  const Complex s = principal_sqrt({1.0, at.omega * e.element.params[1]});
  d[0] = reciprocal(s);
  d[1] = quotient({0.0, -0.5 * rg * at.omega}, s * s * s);
}

// Z = r / (1 + j omega tau).
void rc_time_constant(const PreparedElement& e, const Point& at, Complex* d) {
  const double r = e.element.params[0];
  const Complex g = reciprocal({1.0, at.omega * e.element.params[1]});
  d[0] = g;
  d[1] = Complex{0.0, -r * at.omega} * g * g;
}

// Z = r / (1 + w) with w = (j omega tau)^gamma, recomputed here: Z alone
// would give w only by dividing by r.
void zarc(const PreparedElement& e, const Point& at, Complex* d) {
  const double r = e.element.params[0];
  const double tau = e.element.params[1];
  const double gamma = e.element.params[2];
  const Complex w = imaginary_power(at.omega * tau, gamma, e.unit_power);
  const Complex g = reciprocal(Complex{1.0, 0.0} + w);
  const Complex minus_r_g2 = scaled(-r, g * g);
  d[0] = g;
  d[1] = minus_r_g2 * scaled(gamma / tau, w);
  d[2] = minus_r_g2 * w * log_of_imaginary(at.log_omega + std::log(tau));
}

// The formula's loop over a spectrum, with the choice of kind made once and
// the formula inlined, so what depends only on the element is worked out
// once rather than at every frequency.
template <void (*Formula)(const PreparedElement&, const Point&, Complex*)>
KELVRA_VECTOR_CLONES
void over_spectrum(const PreparedElement& prepared, std::span<const double> omega, std::span<const double> log_omega,
                   std::span<const double> z_re, std::span<const double> z_im, std::span<Complex> derivatives) {
  const std::size_t fields = info(prepared.element.kind).param_count;
  const std::size_t k_count = omega.size();
  std::array<Complex, kMaxElementParams> d{};
  for (std::size_t k = 0; k < k_count; ++k) {
    Formula(prepared, {omega[k], log_omega[k], {z_re[k], z_im[k]}}, d.data());
    for (std::size_t f = 0; f < fields; ++f) derivatives[f * k_count + k] = d[f];
  }
}

using SpectrumDerivatives = void (*)(const PreparedElement&, std::span<const double>, std::span<const double>,
                                     std::span<const double>, std::span<const double>, std::span<Complex>);

SpectrumDerivatives spectrum_derivatives(Kind kind) {
  switch (kind) {
    case Kind::R: return over_spectrum<resistor>;
    case Kind::C: return over_spectrum<capacitor>;
    case Kind::L: return over_spectrum<inductor>;
    case Kind::La: return over_spectrum<fractional_inductor>;
    case Kind::Cpe: return over_spectrum<constant_phase>;
    case Kind::W: return over_spectrum<warburg>;
    case Kind::Wo: return over_spectrum<warburg_open>;
    case Kind::G: return over_spectrum<gerischer>;
    case Kind::K: return over_spectrum<rc_time_constant>;
    case Kind::Zarc: return over_spectrum<zarc>;
    default: return nullptr;
  }
}

}  // namespace

bool has_closed_form_derivatives(Kind kind) { return spectrum_derivatives(kind) != nullptr; }

void closed_form_derivatives(const PreparedElement& prepared, std::span<const double> omega,
                             std::span<const double> log_omega, std::span<const double> z_re,
                             std::span<const double> z_im, std::span<Complex> derivatives) {
  spectrum_derivatives(prepared.element.kind)(prepared, omega, log_omega, z_re, z_im, derivatives);
}

}  // namespace kelvra
