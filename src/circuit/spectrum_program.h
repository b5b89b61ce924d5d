// A circuit flattened into a post-order program over running sums, so that
// a whole spectrum is evaluated without recursion, variant dispatch or
// pointer chasing per frequency. The program performs exactly the additions
// and quotients of the one-frequency walk, in the same order, so its results
// are the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/tree.h"
#include "elements/complex.h"
#include "elements/element.h"

namespace kelvra {

// The one-frequency walk keeps one running sum per open series (the
// circuit's own and each branch's impedance) and per open group (its
// admittance); these are the only things it does to them.
enum class SumOp : std::uint8_t {
  Open,   // start a new innermost sum at 0
  Leaf,   // add the next leaf's impedance to the innermost sum
  Close,  // drop the innermost sum and add its reciprocal to the one outside
};

struct SpectrumProgram {
  std::vector<SumOp> ops;
  std::vector<const Element*> elements;  // one per Leaf op, in leaf order
  std::size_t max_open_sums = 0;         // the circuit's own sum included
};

// Rebuilds `program` for `series`, reusing its storage, so that a thread
// compiling circuits no larger than before does not allocate. Recurses once
// per nesting level, within kMaxNestingDepth like every tree walk.
void compile(const Series& series, SpectrumProgram& program);

// out[k] = impedance at omega[k] (out.size() == omega.size()), where
// leaves[i] is program.elements[i] prepared with the values it is to be
// evaluated with. Re-entrant; its scratch is per thread and only grows.
void run(const SpectrumProgram& program, std::span<const PreparedElement> leaves, std::span<const double> omega,
         std::span<Complex> out);

// Leaf impedances worked out ahead of time over a whole spectrum of K
// frequencies: leaf i's at frequency k is (re[i*K + k], im[i*K + k]), except
// that leaf `replaced`, if it names a leaf, reads (replacement_re[k],
// replacement_im[k]) instead.
struct LeafTables {
  std::span<const double> re;
  std::span<const double> im;
  std::size_t replaced;
  std::span<const double> replacement_re;
  std::span<const double> replacement_im;
};

// The other run with every leaf impedance read from `tables` (K =
// out.size()) instead of computed. Each table entry is added where the other
// run adds the computed impedance, so tables holding exactly the values
// add_prepared_impedance adds give the same bits. Re-entrant, like run.
void run(const SpectrumProgram& program, const LeafTables& tables, std::span<Complex> out);

// sensitivity[i * K + k] = dZ / dZ_i at frequency k for every leaf i, where
// Z is the circuit's impedance and Z_i leaf i's, read from `tables` (K =
// tables.re.size() / leaves, nothing replaced). Z is built from leaf
// impedances by sums and reciprocals alone, so each sensitivity is the
// product, over the groups around the leaf, of (Z_group / Z_branch)^2: one
// pass forward keeps every sum the program closes, one pass back multiplies
// the factors out. Re-entrant; its scratch is per thread and only grows.
void leaf_sensitivities(const SpectrumProgram& program, const LeafTables& tables, std::span<Complex> sensitivity);

}  // namespace kelvra
