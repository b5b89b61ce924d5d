// A circuit is a series: an ordered list of nodes, each either a labelled or
// unlabelled element (Leaf) or a group of parallel branches, each branch a
// series. Trees are values: copies are deep and nothing mutates them after
// construction.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "elements/element.h"

namespace kelvra {

struct Node;
using Series = std::vector<Node>;

struct Leaf {
  Element element;
  std::optional<std::string> label;
};

struct ParallelGroup {
  std::vector<Series> branches;
};

struct Node {
  std::variant<Leaf, ParallelGroup> value;
};

// Groups may nest at most this deep. Every walk over a tree recurses once
// per level, so the limit keeps hostile input (from the grammar or from
// repeated Parallel() calls) from exhausting the stack of a worker thread.
inline constexpr std::size_t kMaxNestingDepth = 1000;

// Depth of group nesting: 0 for a series of leaves.
std::size_t nesting_depth(const Series& series);

struct LeafRef {
  const Element* element;
  const std::optional<std::string>* label;
};

// Leaves depth first, left to right, branches in order: the leaf order that
// fixes the parameter order everywhere.
std::vector<LeafRef> collect_leaves(const Series& series);

// One label per leaf in leaf order: the explicit label, or the display name
// followed by a per-kind counter over the unlabelled leaves ("R0", "R1").
std::vector<std::string> leaf_labels(const Series& series);

// The first label of leaf_labels(series) that an earlier leaf already
// has: two leaves of one name would share their parameters' names.
std::optional<std::string> first_duplicate_label(const Series& series);

}  // namespace kelvra
