#include "elements/element.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/vector_clones.h"

namespace kelvra {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Exponents live in [0, 1]; every other quantity is a strictly positive
// physical magnitude, kept off zero so log-scaled searches stay finite.
constexpr Bounds kExponentBounds{0.0, 1.0};
constexpr Bounds kMagnitudeBounds{1e-12, kInfinity};
constexpr std::string_view kExponentFields[] = {"alpha", "gamma"};

}  // namespace

const std::array<KindInfo, kKindCount> kKinds = {{
    {"R", "R", "", 1, {"r"}, {"ohm"}, {1.0}, kNoPowerField},
    {"C", "C", "", 1, {"c"}, {"F"}, {0.001}, kNoPowerField},
    {"L", "L", "", 1, {"l"}, {"H"}, {1e-6}, kNoPowerField},
    {"La", "La", "", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}, 1},
    {"Cpe", "CPE", "Cpe", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}, 1},
    {"W", "W", "", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}, kNoPowerField},
    {"Wo", "Wo", "", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}, kNoPowerField},
    {"Ws", "Ws", "", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}, kNoPowerField},
    {"G", "G", "", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}, kNoPowerField},
    {"Gs", "Gs", "", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}, kNoPowerField},
    {"K", "K", "", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}, kNoPowerField},
    {"Zarc", "Zarc", "", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}, 2},
    {"Tlmq", "TLMQ", "Tlmq", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 0.001, 0.8}, 2},
    {"T", "T", "", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"}, {1.0, 1.0, 1.0, 1.0}, kNoPowerField},
}};

std::optional<Element> default_for_code(std::string_view code) {
  for (std::size_t k = 0; k < kKindCount; ++k) {
    const KindInfo& kind = kKinds[k];
    const bool alternate = !kind.alternate_code.empty() && code == kind.alternate_code;
    if (code == kind.canonical_code || alternate) return Element{static_cast<Kind>(k), kind.defaults};
  }
  return std::nullopt;
}

Bounds bounds_for(std::string_view field) {
  const bool exponent = std::find(std::begin(kExponentFields), std::end(kExponentFields), field) !=
                        std::end(kExponentFields);
  return exponent ? kExponentBounds : kMagnitudeBounds;
}

Element make_element(Kind kind, std::span<const double> values) {
  Element element{kind, {}};
  std::copy_n(values.begin(), info(kind).param_count, element.params.begin());
  return element;
}

namespace {

// One function per kind; p holds the kind's fields in table order.
// jw_times(x) is the purely imaginary j*omega*x of the formulas.
Complex jw_times(double omega, double x) { return {0.0, omega * x}; }
Complex real(double x) { return {x, 0.0}; }
Complex one_plus_jw_times(double omega, double x) { return {1.0, omega * x}; }

Complex resistor(const double* p, double) { return real(p[0]); }

Complex capacitor(const double* p, double omega) { return reciprocal(jw_times(omega, p[0])); }

Complex inductor(const double* p, double omega) { return jw_times(omega, p[0]); }

// aw * (1 - j) / sqrt(omega), divided as a complex quotient by the real
// sqrt(omega) so that the denominator is (sqrt(omega))^2.
Complex warburg(const double* p, double omega) { return quotient({p[0], -p[0]}, real(std::sqrt(omega))); }

Complex warburg_open(const double* p, double omega) {
  const Complex s = principal_sqrt(jw_times(omega, p[1]));
  return quotient(real(p[0]), s * tanh_g(s));
}

Complex warburg_short(const double* p, double omega) {
  const Complex s = principal_sqrt(jw_times(omega, p[1]));
  return quotient(p[0] * tanh_g(s), s);
}

Complex gerischer(const double* p, double omega) {
  return quotient(real(p[0]), principal_sqrt(one_plus_jw_times(omega, p[1])));
}

Complex gerischer_finite(const double* p, double omega) {
  const Complex s = principal_sqrt(one_plus_jw_times(omega, p[1]));
  return quotient(real(p[0]), s * tanh_g(p[2] * s));
}

Complex rc_time_constant(const double* p, double omega) { return quotient(real(p[0]), one_plus_jw_times(omega, p[1])); }

Complex transmission_line(const double* p, double omega) {
  const Complex beta = principal_sqrt({p[2], omega * p[3]});
  const CothCsch h = coth_csch_g(beta);
  return quotient(p[0] * h.coth + p[1] * h.csch, beta);
}

// The power-law kinds raise j*x to their power field e, x being omega or
// omega times a field: base() gives x, impedance() the rest of the formula
// given w = (j x)^e.
struct FractionalInductor {
  // The power applies to the whole product j*omega*l.
  static double base(const double* p, double omega) { return omega * p[0]; }
  static Complex impedance(const double*, Complex w) { return w; }
};

struct ConstantPhase {
  static double base(const double*, double omega) { return omega; }
  static Complex impedance(const double* p, Complex w) { return reciprocal(p[0] * w); }
};

struct Zarc {
  static double base(const double* p, double omega) { return omega * p[1]; }
  static Complex impedance(const double* p, Complex w) { return quotient(real(p[0]), real(1.0) + w); }
};

struct TransmissionLineCpe {
  static double base(const double*, double omega) { return omega; }
  static Complex impedance(const double* p, Complex w) {
    const double r_ion = p[0];
    const Complex zq = reciprocal(p[1] * w);
    return quotient(principal_sqrt(r_ion * zq), tanh_g(principal_sqrt(quotient(real(r_ion), zq))));
  }
};

double power_exponent(const PreparedElement& prepared) {
  return prepared.element.params[info(prepared.element.kind).power_field];
}

template <class Law>
Complex power_law(const PreparedElement& prepared, double omega) {
  const double* p = prepared.element.params.data();
  return Law::impedance(p, imaginary_power(Law::base(p, omega), power_exponent(prepared), prepared.unit_power));
}

// Frequencies whose pow values are held at once, on the stack: the spectrum
// program's block, so one of its blocks takes a single pass.
constexpr std::size_t kModulusChunk = 64;

template <class Law>
KELVRA_VECTOR_CLONES
void add_power_law(const PreparedElement& prepared, std::span<const double> omega, std::span<double> re,
                   std::span<double> im) {
  const double* p = prepared.element.params.data();
  const double e = power_exponent(prepared);
  std::array<double, kModulusChunk> modulus;
  for (std::size_t begin = 0; begin < omega.size(); begin += kModulusChunk) {
    const std::size_t n = std::min(kModulusChunk, omega.size() - begin);
    const double* w = omega.data() + begin;
    if (takes_polar_form(e)) {
      // Only x > 0 reaches the polar form; skipping the rest keeps pow from
      // raising invalid-operation flags the one-frequency path never raises.
      for (std::size_t k = 0; k < n; ++k) {
        const double x = Law::base(p, w[k]);
        modulus[k] = x > 0.0 ? std::pow(x, e) : 0.0;
      }
    }
    for (std::size_t k = 0; k < n; ++k) {
      const Complex power = imaginary_power(Law::base(p, w[k]), e, prepared.unit_power, [&] { return modulus[k]; });
      const Complex z = Law::impedance(p, power);
      re[begin + k] = re[begin + k] + z.re;
      im[begin + k] = im[begin + k] + z.im;
    }
  }
}

}  // namespace

PreparedElement prepare(const Element& element) {
  const std::size_t field = info(element.kind).power_field;
  return {element, field == kNoPowerField ? Complex{} : imaginary_unit_power(element.params[field])};
}

Complex prepared_impedance(const PreparedElement& prepared, double omega) {
  const Element& element = prepared.element;
  const double* p = element.params.data();
  switch (element.kind) {
    case Kind::R: return resistor(p, omega);
    case Kind::C: return capacitor(p, omega);
    case Kind::L: return inductor(p, omega);
    case Kind::La: return power_law<FractionalInductor>(prepared, omega);
    case Kind::Cpe: return power_law<ConstantPhase>(prepared, omega);
    case Kind::W: return warburg(p, omega);
    case Kind::Wo: return warburg_open(p, omega);
    case Kind::Ws: return warburg_short(p, omega);
    case Kind::G: return gerischer(p, omega);
    case Kind::Gs: return gerischer_finite(p, omega);
    case Kind::K: return rc_time_constant(p, omega);
    case Kind::Zarc: return power_law<Zarc>(prepared, omega);
    case Kind::Tlmq: return power_law<TransmissionLineCpe>(prepared, omega);
    case Kind::T: return transmission_line(p, omega);
  }
  // Every kind is handled above; an out-of-range kind cannot be built.
  return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
}

namespace {

// The kinds without a power field, with the choice of formula made once for
// the spectrum rather than at every frequency.
template <Complex (*Formula)(const double*, double)>
KELVRA_VECTOR_CLONES
void add_each(const PreparedElement& prepared, std::span<const double> omega, std::span<double> re,
              std::span<double> im) {
  const double* p = prepared.element.params.data();
  for (std::size_t k = 0; k < omega.size(); ++k) {
    const Complex z = Formula(p, omega[k]);
    re[k] = re[k] + z.re;
    im[k] = im[k] + z.im;
  }
}

}  // namespace

void add_prepared_impedance(const PreparedElement& prepared, std::span<const double> omega, std::span<double> re,
                            std::span<double> im) {
  switch (prepared.element.kind) {
    case Kind::R: return add_each<resistor>(prepared, omega, re, im);
    case Kind::C: return add_each<capacitor>(prepared, omega, re, im);
    case Kind::L: return add_each<inductor>(prepared, omega, re, im);
    case Kind::La: return add_power_law<FractionalInductor>(prepared, omega, re, im);
    case Kind::Cpe: return add_power_law<ConstantPhase>(prepared, omega, re, im);
    case Kind::W: return add_each<warburg>(prepared, omega, re, im);
    case Kind::Wo: return add_each<warburg_open>(prepared, omega, re, im);
    case Kind::Ws: return add_each<warburg_short>(prepared, omega, re, im);
    case Kind::G: return add_each<gerischer>(prepared, omega, re, im);
    case Kind::Gs: return add_each<gerischer_finite>(prepared, omega, re, im);
    case Kind::K: return add_each<rc_time_constant>(prepared, omega, re, im);
    case Kind::Zarc: return add_power_law<Zarc>(prepared, omega, re, im);
    case Kind::Tlmq: return add_power_law<TransmissionLineCpe>(prepared, omega, re, im);
    case Kind::T: return add_each<transmission_line>(prepared, omega, re, im);
  }
}

}  // namespace kelvra
