#include "circuit/evaluate.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "circuit/spectrum_program.h"
#include "elements/element.h"
#include "elements/element_derivative.h"
#include "support/central_difference.h"
#include "support/vector_clones.h"

namespace kelvra {
namespace {

// Leaf impedance from the values stored in the tree.
struct StoredValues {
  Complex operator()(const Element& element, double omega) const { return element_impedance(element, omega); }
};

// Reads the next leaf's values from an external vector, through one cursor
// shared by the whole walk so that leaves take their values in leaf order.
struct ExternalValues {
  std::span<const double> params;
  std::size_t cursor = 0;

  Element next(const Element& element) {
    Element with_values{element.kind, {}};
    const std::size_t count = info(element.kind).param_count;
    // Callers pass at least param_count values; should one ever pass fewer,
    // the missing values read as NaN, so the impedance is NaN instead of
    // coming from memory past the end of the vector.
    for (std::size_t i = 0; i < count; ++i, ++cursor) {
      with_values.params[i] = cursor < params.size() ? params[cursor] : std::numeric_limits<double>::quiet_NaN();
    }
    return with_values;
  }

  Complex operator()(const Element& element, double omega) { return element_impedance(next(element), omega); }
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

// -0.0 + x is x for every double x, +0.0 and NaN included (+0.0 + -0.0 is
// +0.0), so a table started at -0.0 receives exactly the values
// add_prepared_impedance adds.
constexpr double kAdditiveIdentity = -0.0;

// Overwrites `re` and `im` (each as long as omega) with the element's
// impedance at every frequency.
KELVRA_VECTOR_CLONES
void tabulate(const Element& element, std::span<const double> omega, std::span<double> re, std::span<double> im) {
  std::fill(re.begin(), re.end(), kAdditiveIdentity);
  std::fill(im.begin(), im.end(), kAdditiveIdentity);
  add_prepared_impedance(prepare(element), omega, re, im);
}

// `element_values` maps a tree leaf to the values it is evaluated with.
template <class ElementValues>
void prepared_sweep(const Series& series, ElementValues element_values, std::span<const double> omega,
                    std::span<Complex> out) {
  // Per-thread and only growing, so a fit's residual vectors reuse them.
  thread_local SpectrumProgram program;
  thread_local std::vector<PreparedElement> prepared;
  compile(series, program);
  prepared.clear();
  for (const Element* element : program.elements) prepared.push_back(prepare(element_values(*element)));
  run(program, prepared, omega, out);
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

void spectrum_impedance(const Series& series, std::span<const double> omega, std::span<Complex> out) {
  prepared_sweep(series, [](const Element& element) { return element; }, omega, out);
}

void spectrum_impedance_with_params(const Series& series, std::span<const double> params,
                                    std::span<const double> omega, std::span<Complex> out) {
  ExternalValues external{params};
  prepared_sweep(series, [&external](const Element& element) { return external.next(element); }, omega, out);
}

void LeafSpectra::assign(const Series& series, std::span<const double> params, std::span<const double> omega) {
  compile(series, program_);
  omega_ = omega;
  const std::size_t leaves = program_.elements.size();
  elements_.clear();
  first_param_.clear();
  param_leaf_.clear();
  ExternalValues external{params};
  for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
    first_param_.push_back(external.cursor);
    elements_.push_back(external.next(*program_.elements[leaf]));
    param_leaf_.resize(external.cursor, leaf);
  }
  const std::size_t k = omega.size();
  re_.resize(leaves * k);
  im_.resize(leaves * k);
  for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
    tabulate(elements_[leaf], omega, {re_.data() + leaf * k, k}, {im_.data() + leaf * k, k});
  }
}

void LeafSpectra::spectrum(std::span<Complex> out) const {
  run(program_, LeafTables{re_, im_, elements_.size(), {}, {}}, out);
}

void LeafSpectra::spectrum_with(std::size_t index, double value, std::span<Complex> out) const {
  if (index >= param_leaf_.size()) {
    spectrum(out);
    return;
  }
  // Per-thread and only growing: the changed leaf's tables.
  thread_local std::vector<double> re;
  thread_local std::vector<double> im;
  re.resize(omega_.size());
  im.resize(omega_.size());
  const std::size_t leaf = param_leaf_[index];
  Element changed = elements_[leaf];
  changed.params[index - first_param_[leaf]] = value;
  tabulate(changed, omega_, re, im);
  run(program_, LeafTables{re_, im_, leaf, re, im}, out);
}

namespace {

// columns[f * K + k] = d impedance / d field f of `element` at omega[k] for
// its first `fields` fields, each by a central difference of the element
// alone: the kinds without closed-form derivatives.
void difference_leaf(const Element& element, std::size_t fields, std::span<const double> omega,
                     std::span<Complex> columns) {
  const std::size_t k_count = omega.size();
  // Per thread and only growing: the element's two shifted tables.
  thread_local std::vector<double> plus_re, plus_im, minus_re, minus_im;
  for (std::vector<double>* table : {&plus_re, &plus_im, &minus_re, &minus_im}) table->resize(k_count);
  for (std::size_t f = 0; f < fields; ++f) {
    const double x = element.params[f];
    const double h = central_difference_step(x);
    Element shifted = element;
    shifted.params[f] = x + h;
    tabulate(shifted, omega, plus_re, plus_im);
    shifted.params[f] = x - h;
    tabulate(shifted, omega, minus_re, minus_im);
    const double two_h = h + h;
    for (std::size_t k = 0; k < k_count; ++k) {
      columns[f * k_count + k] = {(plus_re[k] - minus_re[k]) / two_h, (plus_im[k] - minus_im[k]) / two_h};
    }
  }
}

}  // namespace

KELVRA_VECTOR_CLONES
void LeafSpectra::derivatives(std::size_t count, std::span<const double> log_omega,
                              std::span<Complex> derivatives) const {
  const std::size_t k_count = omega_.size();
  const std::size_t leaves = elements_.size();
  // Per thread and only growing.
  thread_local std::vector<Complex> sensitivity;
  sensitivity.resize(leaves * k_count);
  leaf_sensitivities(program_, LeafTables{re_, im_, leaves, {}, {}}, sensitivity);

  std::fill(derivatives.begin(), derivatives.begin() + count * k_count, Complex{});
  for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
    const Element& element = elements_[leaf];
    const std::size_t first = first_param_[leaf];
    // A vector shorter than param_count leaves the last leaf's later fields out.
    const std::size_t fields = std::min(info(element.kind).param_count, count - std::min(count, first));
    if (fields == 0) continue;
    const std::span<Complex> columns = derivatives.subspan(first * k_count, fields * k_count);
    if (has_closed_form_derivatives(element.kind) && fields == info(element.kind).param_count) {
      closed_form_derivatives(prepare(element), omega_, log_omega, {re_.data() + leaf * k_count, k_count},
                              {im_.data() + leaf * k_count, k_count}, columns);
    } else {
      difference_leaf(element, fields, omega_, columns);
    }
    // The chain rule: dZ/dp = dZ/dZ_leaf * dZ_leaf/dp.
    const Complex* s = sensitivity.data() + leaf * k_count;
    for (std::size_t f = 0; f < fields; ++f) {
      for (std::size_t k = 0; k < k_count; ++k) columns[f * k_count + k] = s[k] * columns[f * k_count + k];
    }
  }
}

}  // namespace kelvra
