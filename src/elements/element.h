// The element catalogue: the fourteen kinds of two-terminal element, their
// codes, fields, units and defaults, and their impedance formulas. Every
// other part of the system learns about elements only from this table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "elements/complex.h"

namespace kelvra {

enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };

inline constexpr std::size_t kKindCount = 14;
inline constexpr std::size_t kMaxElementParams = 4;

struct KindInfo {
  std::string_view display_name;    // default-label prefix, repr and class suffix
  std::string_view canonical_code;  // as listed in the parse-error help
  std::string_view alternate_code;  // second accepted spelling, or empty
  std::size_t param_count;
  std::array<std::string_view, kMaxElementParams> fields;
  std::array<std::string_view, kMaxElementParams> units;
  std::array<double, kMaxElementParams> defaults;
  // Field raised to a power of a purely imaginary argument (alpha, gamma),
  // or kNoPowerField.
  std::size_t power_field;
};

inline constexpr std::size_t kNoPowerField = kMaxElementParams;

// Indexed by kind; the order is also the order of the "available elements"
// help listing.
extern const std::array<KindInfo, kKindCount> kKinds;

constexpr std::size_t kind_index(Kind kind) { return static_cast<std::size_t>(kind); }
inline const KindInfo& info(Kind kind) { return kKinds[kind_index(kind)]; }

struct Element {
  Kind kind = Kind::R;
  std::array<double, kMaxElementParams> params{};  // only the first param_count matter

  std::span<const double> values() const { return {params.data(), info(kind).param_count}; }
};

struct Bounds {
  double lo;
  double hi;
};

// The kind's element at its default values, or nothing for an unknown code
// (codes are case-sensitive).
std::optional<Element> default_for_code(std::string_view code);

// (0, 1) for "alpha" and "gamma", (1e-12, inf) for every other field.
Bounds bounds_for(std::string_view field);

// An element of `kind` taking its param_count values from the front of
// `values`; the caller guarantees there are enough.
Element make_element(Kind kind, std::span<const double> values);

// An element with the frequency-independent part of its formula worked out
// once: the phase of j^e for the kinds with a power field. A spectrum is
// evaluated from prepared elements.
struct PreparedElement {
  Element element;
  Complex unit_power;  // imaginary_unit_power of the power field, if any
};

PreparedElement prepare(const Element& element);

// Impedance at angular frequency omega (rad/s). Never allocates.
Complex prepared_impedance(const PreparedElement& prepared, double omega);
inline Complex element_impedance(const Element& element, double omega) {
  return prepared_impedance(prepare(element), omega);
}

// Adds the impedance at each omega[k] to (re[k], im[k]), with the bits of
// prepared_impedance (re and im as long as omega). Over many frequencies the
// power-law kinds run their pow calls in one loop ahead of the rest of the
// formula, which keeps the libm call from stalling the arithmetic around it.
// Never allocates; re-entrant.
void add_prepared_impedance(const PreparedElement& prepared, std::span<const double> omega, std::span<double> re,
                            std::span<double> im);

}  // namespace kelvra
