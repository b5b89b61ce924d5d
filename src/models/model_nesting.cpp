#include "models/model_nesting.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "circuit/grammar.h"
#include "support/overloaded.h"

namespace kelvra {

namespace {

constexpr std::size_t kNone = kNoLimitField;

// Only limits that stay inside a field's bounds count: a magnitude at its
// floor (1e-12, in effect 0) and an exponent at its ceiling 1. A capacitance
// growing without bound also shorts its element, but no fit reaches it.
// Transmission lines and the finite Gerischer keep a finite impedance at
// every limit of their bounds, or one that depends on more than one field.
constexpr KindLimit kNoLimit{kNone, std::nullopt};

}  // namespace

const std::array<KindLimit, kKindCount> kKindLimits = {{
    {0, std::nullopt},         // R: r -> 0
    kNoLimit,                  // C
    {0, std::nullopt},         // L: l -> 0
    {0, Kind::L},              // La: l -> 0; alpha = 1 is an inductor
    {kNone, Kind::C},          // Cpe: alpha = 1 is a capacitor
    {0, std::nullopt},         // W: aw -> 0
    {0, std::nullopt},         // Wo: z0 -> 0
    {0, std::nullopt},         // Ws: z0 -> 0
    {0, std::nullopt},         // G: rg -> 0
    kNoLimit,                  // Gs
    {0, std::nullopt},         // K: r -> 0
    {0, Kind::K},              // Zarc: r -> 0; gamma = 1 is an RC element
    kNoLimit,                  // Tlmq
    kNoLimit,                  // T
}};

namespace {

void append_shape(const Series& series, std::string& out);

void append_node(const Node& node, std::string& out) {
  std::visit(Overloaded{
                 [&](const Leaf& leaf) { out += info(leaf.element.kind).canonical_code; },
                 [&](const ParallelGroup& group) {
                   out += '(';
                   for (std::size_t b = 0; b < group.branches.size(); ++b) {
                     if (b > 0) out += ',';
                     append_shape(group.branches[b], out);
                   }
                   out += ')';
                 },
             },
             node.value);
}

void append_shape(const Series& series, std::string& out) {
  for (std::size_t i = 0; i < series.size(); ++i) {
    if (i > 0) out += '-';
    append_node(series[i], out);
  }
}

// Every tree one limit away from `series`. A shorted leaf leaves its
// series; a branch left empty shorts its whole group, which then leaves the
// series that holds it. Trees of the built-in models have a few leaves, so
// building every variant is cheap.
std::vector<Series> one_limit_away(const Series& series) {
  std::vector<Series> out;
  for (std::size_t i = 0; i < series.size(); ++i) {
    const Node& node = series[i];
    if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
      const KindLimit& limit = kKindLimits[kind_index(leaf->element.kind)];
      if (limit.vanishing_field != kNoLimitField) {
        Series shorter = series;
        shorter.erase(shorter.begin() + static_cast<std::ptrdiff_t>(i));
        out.push_back(std::move(shorter));
      }
      if (limit.exponent_one_kind) {
        Series changed = series;
        std::get<Leaf>(changed[i].value).element.kind = *limit.exponent_one_kind;
        out.push_back(std::move(changed));
      }
      continue;
    }
    const ParallelGroup& group = std::get<ParallelGroup>(node.value);
    for (std::size_t b = 0; b < group.branches.size(); ++b) {
      for (Series& branch : one_limit_away(group.branches[b])) {
        Series changed = series;
        if (branch.empty()) {
          changed.erase(changed.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          std::get<ParallelGroup>(changed[i].value).branches[b] = std::move(branch);
        }
        out.push_back(std::move(changed));
      }
    }
  }
  return out;
}

std::array<std::vector<std::size_t>, kModelCount> derive_nesting() {
  std::array<std::string, kModelCount> shapes;
  std::array<std::vector<std::string>, kModelCount> reachable;
  for (std::size_t m = 0; m < kModelCount; ++m) {
    // The table's topologies are fixed strings the model tests parse.
    const Series tree = parse(MODELS[m].topology).value();
    shapes[m] = shape_text(tree);
    reachable[m] = reduced_shapes(tree);
  }
  std::array<std::vector<std::size_t>, kModelCount> nested;
  for (std::size_t outer = 0; outer < kModelCount; ++outer) {
    for (std::size_t inner = 0; inner < kModelCount; ++inner) {
      if (inner == outer || shapes[inner] == shapes[outer]) continue;
      const auto& reached = reachable[outer];
      if (std::find(reached.begin(), reached.end(), shapes[inner]) != reached.end()) nested[outer].push_back(inner);
    }
  }
  return nested;
}

}  // namespace

std::string shape_text(const Series& series) {
  std::string out;
  append_shape(series, out);
  return out;
}

std::vector<std::string> reduced_shapes(const Series& series) {
  std::vector<std::string> seen{shape_text(series)};
  std::vector<Series> pending{series};
  while (!pending.empty()) {
    Series next = std::move(pending.back());
    pending.pop_back();
    for (Series& reduced : one_limit_away(next)) {
      std::string shape = shape_text(reduced);
      if (std::find(seen.begin(), seen.end(), shape) != seen.end()) continue;
      seen.push_back(std::move(shape));
      pending.push_back(std::move(reduced));
    }
  }
  return seen;
}

const std::array<std::vector<std::size_t>, kModelCount>& nested_models() {
  static const std::array<std::vector<std::size_t>, kModelCount> table = derive_nesting();
  return table;
}

}  // namespace kelvra
