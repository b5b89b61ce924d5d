#include "models/topology_match.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "circuit/format.h"
#include "elements/element.h"

namespace kelvra {

namespace {

// Byte-wise key order; equal keys keep their written order because every
// sort here is stable.
bool key_less(const Shape& a, const Shape& b) { return a.key < b.key; }

Shape leaf_shape(const Leaf& leaf, std::size_t& next_param) {
  const KindInfo& kind = info(leaf.element.kind);
  Shape shape{std::string(kind.display_name), true, {next_param, kind.param_count}, {}};
  next_param += kind.param_count;
  return shape;
}

Shape group_shape(const ParallelGroup& group, std::size_t& next_param) {
  struct KeyedBranch {
    std::string key;
    std::vector<Shape> shapes;
  };
  // The running index passes through the branches in written order, before
  // they are sorted.
  std::vector<KeyedBranch> keyed;
  keyed.reserve(group.branches.size());
  for (const Series& branch : group.branches) {
    std::vector<Shape> branch_shapes = shapes(branch, next_param);
    std::string key = series_key(branch_shapes);
    keyed.push_back({std::move(key), std::move(branch_shapes)});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const KeyedBranch& a, const KeyedBranch& b) { return a.key < b.key; });
  Shape shape{"(", false, {0, 0}, {}};
  shape.branches.reserve(keyed.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    if (i > 0) shape.key += ',';
    shape.key += keyed[i].key;
    shape.branches.push_back(std::move(keyed[i].shapes));
  }
  shape.key += ')';
  return shape;
}

void collect_spans(const std::vector<Shape>& list, std::vector<LeafSpan>& out) {
  for (const Shape& shape : list) {
    if (shape.is_leaf) {
      out.push_back(shape.span);
    } else {
      for (const std::vector<Shape>& branch : shape.branches) collect_spans(branch, out);
    }
  }
}

}  // namespace

std::vector<Shape> shapes(const Series& series, std::size_t& next_param) {
  std::vector<Shape> out;
  out.reserve(series.size());
  for (const Node& node : series) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      out.push_back(leaf_shape(*leaf, next_param));
    } else {
      out.push_back(group_shape(std::get<ParallelGroup>(node.value), next_param));
    }
  }
  std::stable_sort(out.begin(), out.end(), key_less);
  return out;
}

std::string series_key(const std::vector<Shape>& list) {
  std::string key = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) key += ',';
    key += list[i].key;
  }
  return key + "]";
}

CanonicalForm canonical(const Series& series) {
  std::size_t next_param = 0;
  const std::vector<Shape> list = shapes(series, next_param);
  CanonicalForm form{series_key(list), {}};
  collect_spans(list, form.spans);
  return form;
}

std::optional<ModelMatch> match_topology(const Series& model, const Series& user) {
  const CanonicalForm model_form = canonical(model);
  const CanonicalForm user_form = canonical(user);
  if (model_form.key != user_form.key) return std::nullopt;
  std::size_t user_params = 0;
  for (const LeafSpan& span : user_form.spans) user_params += span.count;
  ModelMatch match{std::vector<std::size_t>(user_params), false};
  // Equal keys name the same kinds in the same canonical positions, so
  // paired spans have equal lengths.
  for (std::size_t i = 0; i < user_form.spans.size(); ++i) {
    const LeafSpan& user_span = user_form.spans[i];
    for (std::size_t j = 0; j < user_span.count; ++j) {
      match.permutation[user_span.start + j] = model_form.spans[i].start + j;
    }
  }
  return match;
}

std::optional<ModelMatch> match_or_expand(const Series& model, const Series& user) {
  if (auto match = match_topology(model, user)) return match;
  bool expanded = false;
  const Series expanded_user = expand_series(user, expanded);
  if (!expanded) return std::nullopt;
  auto match = match_topology(model, expanded_user);
  if (match) match->expanded = true;
  return match;
}

}  // namespace kelvra
