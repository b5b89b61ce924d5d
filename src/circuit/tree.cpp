#include "circuit/tree.h"

#include <algorithm>
#include <array>
#include <unordered_set>
#include <utility>

namespace kelvra {
namespace {

void append_leaves(const Series& series, std::vector<LeafRef>& out) {
  for (const Node& node : series) {
    if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
      out.push_back({&leaf->element, &leaf->label});
    } else {
      for (const Series& branch : std::get<ParallelGroup>(node.value).branches) append_leaves(branch, out);
    }
  }
}

}  // namespace

std::size_t nesting_depth(const Series& series) {
  // Walked with an explicit stack rather than recursion: this is the check
  // that decides whether a tree is shallow enough for the recursive walks,
  // so it must itself survive any depth.
  std::vector<std::pair<const Series*, std::size_t>> pending{{&series, 0}};
  std::size_t deepest = 0;
  while (!pending.empty()) {
    const auto [current, depth] = pending.back();
    pending.pop_back();
    for (const Node& node : *current) {
      if (const auto* group = std::get_if<ParallelGroup>(&node.value)) {
        // An empty group still counts as a level.
        deepest = std::max(deepest, depth + 1);
        for (const Series& branch : group->branches) pending.emplace_back(&branch, depth + 1);
      }
    }
  }
  return deepest;
}

std::vector<LeafRef> collect_leaves(const Series& series) {
  std::vector<LeafRef> leaves;
  append_leaves(series, leaves);
  return leaves;
}

std::vector<std::string> leaf_labels(const Series& series) {
  std::array<std::size_t, kKindCount> next_default{};
  std::vector<std::string> labels;
  for (const LeafRef& leaf : collect_leaves(series)) {
    if (leaf.label->has_value()) {
      labels.push_back(**leaf.label);
    } else {
      std::size_t& counter = next_default[kind_index(leaf.element->kind)];
      labels.push_back(std::string(info(leaf.element->kind).display_name) + std::to_string(counter++));
    }
  }
  return labels;
}

std::optional<std::string> first_duplicate_label(const Series& series) {
  const std::vector<std::string> labels = leaf_labels(series);
  std::unordered_set<std::string_view> seen;
  for (const std::string& label : labels) {
    if (!seen.insert(label).second) return label;
  }
  return std::nullopt;
}

}  // namespace kelvra
