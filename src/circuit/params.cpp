#include "circuit/params.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include "support/text.h"

namespace kelvra {
namespace {

// Calls visit(leaf_index, leaf, field_index) for every parameter in
// parameter order.
template <class Visit>
void for_each_param(const Series& series, Visit visit) {
  const std::vector<LeafRef> leaves = collect_leaves(series);
  for (std::size_t leaf = 0; leaf < leaves.size(); ++leaf) {
    const std::size_t count = info(leaves[leaf].element->kind).param_count;
    for (std::size_t field = 0; field < count; ++field) visit(leaf, leaves[leaf], field);
  }
}

Series rebuild_from(const Series& series, std::span<const double> values, std::size_t& cursor) {
  Series out;
  out.reserve(series.size());
  for (const Node& node : series) {
    if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
      const Kind kind = leaf->element.kind;
      out.push_back(Node{Leaf{make_element(kind, values.subspan(cursor)), leaf->label}});
      cursor += info(kind).param_count;
      continue;
    }
    ParallelGroup group;
    for (const Series& branch : std::get_if<ParallelGroup>(&node.value)->branches) {
      group.branches.push_back(rebuild_from(branch, values, cursor));
    }
    out.emplace_back().value.emplace<ParallelGroup>(std::move(group));
  }
  return out;
}

// How far a key may be from a name and still be suggested: 2 for short
// keys, half the key's length (rounded down) from six code points on.
std::size_t suggestion_threshold(std::string_view key) {
  constexpr std::size_t kShortKeyLength = 6;
  constexpr std::size_t kShortKeyThreshold = 2;
  const std::size_t length = decode_utf8(key).size();
  return length < kShortKeyLength ? kShortKeyThreshold : length / 2;
}

// The earliest name at the smallest distance from `key`, if close enough.
std::string unknown_key_line(std::string_view key, const std::vector<std::string>& names) {
  std::string line = "unknown parameter " + debug_quoted(key);
  const std::string* closest = nullptr;
  std::size_t best = 0;
  for (const std::string& name : names) {
    const std::size_t distance = closest_param_name(key, name);
    if (closest == nullptr || distance < best) {
      closest = &name;
      best = distance;
    }
  }
  if (closest != nullptr && best <= suggestion_threshold(key)) {
    line += " (did you mean " + debug_quoted(*closest) + "?)";
  }
  return line;
}

std::string missing_line(const std::vector<std::string_view>& missing) {
  std::string line = "missing parameter(s): [";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) line += ", ";
    line += debug_quoted(missing[i]);
  }
  return line + "]";
}

// "  R0.r  [ohm]  bounds (1e-12, inf)", names padded to the longest.
std::vector<std::string> valid_parameter_lines(const Series& series, const std::vector<std::string>& names) {
  const std::vector<std::string> units = param_units(series);
  const std::vector<Bounds> bounds = param_bounds(series);
  const std::size_t width = std::accumulate(names.begin(), names.end(), std::size_t{0},
                                            [](std::size_t w, const std::string& n) { return std::max(w, n.size()); });
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string name = names[i];
    name.resize(width, ' ');
    lines.push_back("  " + name + "  [" + units[i] + "]  bounds (" + format_number(bounds[i].lo) + ", " +
                    format_number(bounds[i].hi) + ")");
  }
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += '\n';
    out += lines[i];
  }
  return out;
}

}  // namespace

std::size_t param_count(const Series& series) {
  std::size_t count = 0;
  for (const LeafRef& leaf : collect_leaves(series)) count += info(leaf.element->kind).param_count;
  return count;
}

std::vector<std::string> param_names(const Series& series) {
  const std::vector<std::string> labels = leaf_labels(series);
  std::vector<std::string> names;
  for_each_param(series, [&](std::size_t leaf, const LeafRef& ref, std::size_t field) {
    names.push_back(labels[leaf] + "." + std::string(info(ref.element->kind).fields[field]));
  });
  return names;
}

std::vector<std::string> param_units(const Series& series) {
  std::vector<std::string> units;
  for_each_param(series, [&](std::size_t, const LeafRef& ref, std::size_t field) {
    units.emplace_back(info(ref.element->kind).units[field]);
  });
  return units;
}

std::vector<Bounds> param_bounds(const Series& series) {
  std::vector<Bounds> bounds;
  for_each_param(series, [&](std::size_t, const LeafRef& ref, std::size_t field) {
    bounds.push_back(bounds_for(info(ref.element->kind).fields[field]));
  });
  return bounds;
}

std::vector<double> param_values(const Series& series) {
  std::vector<double> values;
  for_each_param(series, [&](std::size_t, const LeafRef& ref, std::size_t field) {
    values.push_back(ref.element->params[field]);
  });
  return values;
}

Series rebuild(const Series& series, std::span<const double> values) {
  std::size_t cursor = 0;
  return rebuild_from(series, values, cursor);
}

Result<Series, std::string> with_values(const Series& series, std::span<const double> values) {
  const std::size_t expected = param_count(series);
  if (values.size() != expected) {
    return fail("expected " + std::to_string(expected) + " values, got " + std::to_string(values.size()));
  }
  return rebuild(series, values);
}

Result<Series, std::string> with_named_values(const Series& series,
                                              std::span<const std::pair<std::string, double>> mapping) {
  const std::vector<std::string> names = param_names(series);
  const std::unordered_set<std::string_view> known(names.begin(), names.end());
  std::unordered_map<std::string_view, double> by_key;
  std::vector<std::string> lines;
  for (const auto& [key, value] : mapping) {
    by_key.insert_or_assign(key, value);
    if (!known.contains(key)) lines.push_back(unknown_key_line(key, names));
  }
  std::vector<std::string_view> missing;
  std::vector<double> values;
  for (const std::string& name : names) {
    const auto found = by_key.find(name);
    if (found == by_key.end()) {
      missing.push_back(name);
    } else {
      values.push_back(found->second);
    }
  }
  if (lines.empty() && missing.empty()) return rebuild(series, values);

  if (!missing.empty()) lines.push_back(missing_line(missing));
  lines.emplace_back();
  lines.emplace_back("valid parameters for this circuit:");
  for (std::string& line : valid_parameter_lines(series, names)) lines.push_back(std::move(line));
  return fail(join_lines(lines));
}

std::size_t closest_param_name(std::string_view key, std::string_view name) {
  const std::vector<char32_t> a = decode_utf8(key);
  const std::vector<char32_t> b = decode_utf8(name);
  // The prefix table d[i][j] kept one row at a time: row i only reads row
  // i-1, and a long hostile key must not cost a table of |key| x |name|.
  std::vector<std::size_t> previous(b.size() + 1);
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(previous.begin(), previous.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      row[j] = std::min({substitution, row[j - 1] + 1, previous[j] + 1});
    }
    std::swap(previous, row);
  }
  return previous[b.size()];
}

}  // namespace kelvra
