#include "circuit/evaluate.h"

#include <limits>

#include "elements/element.h"

namespace kelvra {
namespace {

// Leaf impedance from the values stored in the tree.
struct StoredValues {
  Complex operator()(const Element& element, double omega) const { return element_impedance(element, omega); }
};

// Leaf impedance from the next values of an external vector, read through
// one cursor shared by the whole walk so that leaves take their values in
// leaf order.
struct ExternalValues {
  std::span<const double> params;
  std::size_t cursor = 0;

  Complex operator()(const Element& element, double omega) {
    Element with_values{element.kind, {}};
    const std::size_t count = info(element.kind).param_count;
    // Callers pass at least param_count values; should one ever pass fewer,
    // the missing values read as NaN, so the impedance is NaN instead of
    // coming from memory past the end of the vector.
    for (std::size_t i = 0; i < count; ++i, ++cursor) {
      with_values.params[i] = cursor < params.size() ? params[cursor] : std::numeric_limits<double>::quiet_NaN();
    }
    return element_impedance(with_values, omega);
  }
};

// Nodes summed left to right from 0; a group is the reciprocal of the sum of
// its branches' reciprocals, so an empty group gives 1/0 = NaN and a
// zero-impedance branch an infinite admittance, both left as computed.
template <class LeafImpedance>
Complex series_sum(const Series& series, double omega, LeafImpedance& leaf_impedance) {
  Complex sum{};
  for (const Node& node : series) {
    if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
      sum = sum + leaf_impedance(leaf->element, omega);
      continue;
    }
    Complex admittance{};
    for (const Series& branch : std::get_if<ParallelGroup>(&node.value)->branches) {
      admittance = admittance + reciprocal(series_sum(branch, omega, leaf_impedance));
    }
    sum = sum + reciprocal(admittance);
  }
  return sum;
}

}  // namespace

Complex impedance(const Series& series, double omega) {
  StoredValues stored;
  return series_sum(series, omega, stored);
}

Complex series_impedance_with_params(const Series& series, std::span<const double> params, double omega) {
  ExternalValues external{params};
  return series_sum(series, omega, external);
}

}  // namespace kelvra
