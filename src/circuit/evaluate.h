// Impedance of a circuit tree at one angular frequency. Both walks are
// re-entrant and never allocate, so the worker pool calls them concurrently
// on one shared tree.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "circuit/spectrum_program.h"
#include "circuit/tree.h"
#include "elements/complex.h"
#include "elements/element.h"

namespace kelvra {

// 2*pi, multiplied once into every frequency in hertz before evaluation.
inline constexpr double kTwoPi = 6.283185307179586;

// With the values stored in the tree.
Complex impedance(const Series& series, double omega);

// With element values read in leaf order from `params`, which the caller
// guarantees holds at least param_count values.
Complex series_impedance_with_params(const Series& series, std::span<const double> params, double omega);

// out[k] = impedance at omega[k] (out.size() == omega.size()), bit for bit
// what the one-frequency walks give. The tree is flattened and each leaf
// prepared once for the whole spectrum rather than once per frequency.
// Allocation-free once the calling thread has seen a circuit with this many
// nodes and this deep a nesting.
void spectrum_impedance(const Series& series, std::span<const double> omega, std::span<Complex> out);
void spectrum_impedance_with_params(const Series& series, std::span<const double> params,
                                    std::span<const double> omega, std::span<Complex> out);

// Every leaf's impedance over a spectrum at one parameter vector, kept so
// that the spectrum at a vector differing in a single parameter re-evaluates
// only the leaf reading it: what a finite-difference column needs. The
// circuit and the frequencies are viewed, not copied, and must outlive it;
// its storage only grows.
class LeafSpectra {
 public:
  // Compiles `series` and evaluates each leaf at `params` (read as
  // spectrum_impedance_with_params reads them) over `omega`.
  void assign(const Series& series, std::span<const double> params, std::span<const double> omega);

  // out = spectrum_impedance_with_params at the assigned params with
  // params[index] replaced by `value`, bit for bit (out.size() ==
  // omega.size()); an index past param_count changes nothing. Const and
  // re-entrant, so concurrent callers share one LeafSpectra; allocation-free
  // once the calling thread has seen this many frequencies.
  void spectrum_with(std::size_t index, double value, std::span<Complex> out) const;

  // out = spectrum_impedance_with_params at the assigned params, bit for bit.
  void spectrum(std::span<Complex> out) const;

  // derivatives[j * K + k] = dZ/d params[j] at omega[k] for the assigned
  // params, j < `count` (K = omega.size(); columns past param_count are 0),
  // given log_omega[k] = ln(omega[k]):
  // the chain rule through the circuit (leaf_sensitivities) times each
  // leaf's derivatives, in closed form where the kind has one and otherwise
  // by a central difference of that leaf alone. Const and re-entrant, like
  // spectrum_with.
  void derivatives(std::size_t count, std::span<const double> log_omega, std::span<Complex> derivatives) const;

 private:
  SpectrumProgram program_;
  std::vector<Element> elements_;          // each leaf with its assigned values
  std::vector<std::size_t> first_param_;   // each leaf's first index in params
  std::vector<std::size_t> param_leaf_;    // the leaf reading each parameter
  std::vector<double> re_;                 // leaf-major, omega_.size() per leaf
  std::vector<double> im_;
  std::span<const double> omega_;
};

}  // namespace kelvra
