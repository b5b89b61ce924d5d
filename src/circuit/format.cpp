#include "circuit/format.h"

#include <cmath>
#include <utility>

namespace kelvra {
namespace {

// Appends `series` to `out`, leaves written with labels[next], labels[next+1],
// ...; false when the labels run out.
bool write_series(const Series& series, std::span<const std::string> labels, std::size_t& next, std::string& out) {
  bool first = true;
  for (const Node& node : series) {
    if (!first) out += '-';
    first = false;
    if (std::holds_alternative<Leaf>(node.value)) {
      if (next == labels.size()) return false;
      out += labels[next++];
      continue;
    }
    out += '(';
    bool first_branch = true;
    for (const Series& branch : std::get<ParallelGroup>(node.value).branches) {
      if (!first_branch) out += ',';
      first_branch = false;
      if (!write_series(branch, labels, next, out)) return false;
    }
    out += ')';
  }
  return true;
}

Series unlabelled(Element element) { return Series{Node{Leaf{element, std::nullopt}}}; }

Node parallel(Element a, Element b) { return Node{ParallelGroup{{unlabelled(a), unlabelled(b)}}}; }

// K is R in parallel with C = tau_k / r; Zarc is R in parallel with a
// constant-phase element of q = tau_k^gamma / r and the same exponent.
std::optional<Node> expansion_of(const Element& element) {
  const auto& p = element.params;
  switch (element.kind) {
    case Kind::K: {
      const double r = p[0];
      const double tau_k = p[1];
      return parallel(Element{Kind::R, {r}}, Element{Kind::C, {tau_k / r}});
    }
    case Kind::Zarc: {
      const double r = p[0];
      const double tau_k = p[1];
      const double gamma = p[2];
      return parallel(Element{Kind::R, {r}}, Element{Kind::Cpe, {std::pow(tau_k, gamma) / r, gamma}});
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

Result<std::string, std::string> format_series(const Series& series, std::span<const std::string> labels) {
  std::string out;
  std::size_t next = 0;
  if (!write_series(series, labels, next, out)) return fail(std::string("one label per leaf"));
  return out;
}

Series expand_series(const Series& series, bool& expanded) {
  Series out;
  out.reserve(series.size());
  for (const Node& node : series) {
    if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
      if (auto replacement = expansion_of(leaf->element)) {
        expanded = true;
        out.push_back(std::move(*replacement));
      } else {
        out.push_back(node);
      }
      continue;
    }
    ParallelGroup group;
    for (const Series& branch : std::get<ParallelGroup>(node.value).branches) {
      group.branches.push_back(expand_series(branch, expanded));
    }
    out.emplace_back().value.emplace<ParallelGroup>(std::move(group));
  }
  return out;
}

}  // namespace kelvra
