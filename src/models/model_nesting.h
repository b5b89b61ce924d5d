// Which built-in models nest in which: model A nests in model B when a limit
// of B's parameters (an element's magnitude to its floor, which shorts it; a
// power exponent to 1, which turns the element into its integer-order kind)
// gives A's topology. A model can then always fit at least as well as every
// model nested in it, which model ranking relies on.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "elements/element.h"
#include "models/model_table.h"

namespace kelvra {

// What each kind becomes at a limit of one of its fields. Indexed by kind.
struct KindLimit {
  // The field whose floor shorts the element (its impedance tends to 0),
  // or kNoLimitField.
  std::size_t vanishing_field;
  // The kind the element becomes with its power exponent at 1 (a CPE is
  // then a capacitor with c = q), or nothing.
  std::optional<Kind> exponent_one_kind;
};

inline constexpr std::size_t kNoLimitField = kMaxElementParams;

extern const std::array<KindLimit, kKindCount> kKindLimits;

// The topology of `series` with the labels left out ("R-(R,C)"): two
// circuits of one shape differ only in their labels and values.
std::string shape_text(const Series& series);

// The shapes every sequence of limits reaches from `series`, `series`'s own
// shape included, each once, in the order first reached.
std::vector<std::string> reduced_shapes(const Series& series);

// For every model of MODELS, in table order, the indices of the other
// models nested in it, in table order.
const std::array<std::vector<std::size_t>, kModelCount>& nested_models();

}  // namespace kelvra
