// Matching circuit topologies regardless of the order of series and
// parallel parts and of element labels: two circuits match when their
// canonical keys are equal, and the canonical order of their leaves pairs
// each user parameter with a model output.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.h"

namespace kelvra {

// One element's parameters in a circuit's flat parameter vector.
struct LeafSpan {
  std::size_t start;
  std::size_t count;
};

// A node of a canonical form: a leaf with its span, or a parallel group
// whose branches are sorted by key.
struct Shape {
  std::string key;
  bool is_leaf;
  LeafSpan span;                             // leaves only
  std::vector<std::vector<Shape>> branches;  // groups only
};

// The shapes of `series`, each list sorted by key (byte-wise, stable);
// `next_param` is the running parameter index, advanced past the series.
std::vector<Shape> shapes(const Series& series, std::size_t& next_param);

// "[" + the keys joined by "," + "]".
std::string series_key(const std::vector<Shape>& shapes);

struct CanonicalForm {
  std::string key;
  std::vector<LeafSpan> spans;  // in canonical order
};

CanonicalForm canonical(const Series& series);

struct ModelMatch {
  // For each user parameter, in the user's order, the model output that
  // supplies it.
  std::vector<std::size_t> permutation;
  // The user circuit matched only once its K and Zarc leaves were written
  // as the pairs they abbreviate.
  bool expanded;
};

std::optional<ModelMatch> match_topology(const Series& model, const Series& user);

// match_topology, then again on the user circuit with K and Zarc expanded.
std::optional<ModelMatch> match_or_expand(const Series& model, const Series& user);

}  // namespace kelvra
