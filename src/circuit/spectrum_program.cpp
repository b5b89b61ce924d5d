#include "circuit/spectrum_program.h"

#include <algorithm>

namespace kelvra {
namespace {

// Frequencies evaluated together. Every op runs once over a whole block, so
// its dispatch is paid once per block rather than once per frequency and the
// group arithmetic becomes element-wise loops the compiler vectorises. 64
// keeps the sums of a shallow circuit (16 bytes per frequency each) in L1.
constexpr std::size_t kBlock = 64;

// Cap on the sum storage of one thread, in frequency-sums: circuits nested
// more than about 30 levels deep get shorter blocks rather than a larger
// stack (a 1000-level circuit would otherwise hold 2 MB per thread).
constexpr std::size_t kSumCapacity = 64 * kBlock;

void append_ops(const Series& series, std::size_t open_sums, SpectrumProgram& program) {
  for (const Node& node : series) {
    if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
      program.ops.push_back(SumOp::Leaf);
      program.elements.push_back(&leaf->element);
      continue;
    }
    // The group's admittance, then one impedance per branch inside it; a
    // group without branches closes at admittance 0 and adds 1/0 = NaN.
    program.max_open_sums = std::max(program.max_open_sums, open_sums + 2);
    program.ops.push_back(SumOp::Open);
    for (const Series& branch : std::get_if<ParallelGroup>(&node.value)->branches) {
      program.ops.push_back(SumOp::Open);
      append_ops(branch, open_sums + 2, program);
      program.ops.push_back(SumOp::Close);
    }
    program.ops.push_back(SumOp::Close);
  }
}

// A block of running sums, split into real and imaginary arrays so that the
// group loops are plain element-wise arithmetic on doubles.
struct SumBlock {
  double* re;
  double* im;
};

void add_reciprocal(SumBlock inner, std::size_t n, SumBlock outer) {
  for (std::size_t k = 0; k < n; ++k) {
    const Complex r = reciprocal({inner.re[k], inner.im[k]});
    outer.re[k] = outer.re[k] + r.re;
    outer.im[k] = outer.im[k] + r.im;
  }
}

void clear(SumBlock sum, std::size_t n) {
  std::fill_n(sum.re, n, 0.0);
  std::fill_n(sum.im, n, 0.0);
}

// Leaves evaluated from their prepared elements, block by block.
struct PreparedLeaves {
  const PreparedElement* leaves;
  const double* omega;

  void add(std::size_t leaf, std::size_t begin, std::size_t n, SumBlock sum) const {
    add_prepared_impedance(leaves[leaf], {omega + begin, n}, {sum.re, n}, {sum.im, n});
  }
};

// Leaves read from tables computed beforehand.
struct TabulatedLeaves {
  const LeafTables& tables;
  std::size_t frequencies;

  void add(std::size_t leaf, std::size_t begin, std::size_t n, SumBlock sum) const {
    const bool replaced = leaf == tables.replaced;
    const std::size_t offset = replaced ? begin : leaf * frequencies + begin;
    const double* re = (replaced ? tables.replacement_re : tables.re).data() + offset;
    const double* im = (replaced ? tables.replacement_im : tables.im).data() + offset;
    for (std::size_t k = 0; k < n; ++k) {
      sum.re[k] = sum.re[k] + re[k];
      sum.im[k] = sum.im[k] + im[k];
    }
  }
};

// Evaluates the n <= block frequencies from `begin`. The sums lie innermost
// last in `sums`, each its `block` real parts followed by its `block`
// imaginary parts.
template <class Leaves>
void run_block(const SpectrumProgram& program, const Leaves& leaves, std::size_t begin, std::size_t n, double* sums,
               std::size_t block, Complex* out) {
  const std::size_t stride = 2 * block;
  SumBlock sum{sums, sums + block};
  clear(sum, n);
  std::size_t leaf = 0;
  for (const SumOp op : program.ops) {
    switch (op) {
      case SumOp::Open:
        sum = {sum.re + stride, sum.im + stride};
        clear(sum, n);
        break;
      case SumOp::Leaf:
        leaves.add(leaf++, begin, n, sum);
        break;
      case SumOp::Close: {
        const SumBlock inner = sum;
        sum = {sum.re - stride, sum.im - stride};
        add_reciprocal(inner, n, sum);
        break;
      }
    }
  }
  for (std::size_t k = 0; k < n; ++k) out[k] = {sum.re[k], sum.im[k]};
}

// The calling thread's sum storage, grown to at least `size` doubles and
// shared by both kinds of run.
double* sum_storage(std::size_t size) {
  thread_local std::vector<double> sums;
  if (sums.size() < size) sums.resize(size);
  return sums.data();
}

template <class Leaves>
void run_blocks(const SpectrumProgram& program, const Leaves& leaves, std::span<Complex> out) {
  const std::size_t block = std::clamp<std::size_t>(kSumCapacity / program.max_open_sums, 1, kBlock);
  double* sums = sum_storage(program.max_open_sums * 2 * block);
  for (std::size_t begin = 0; begin < out.size(); begin += block) {
    const std::size_t n = std::min(block, out.size() - begin);
    run_block(program, leaves, begin, n, sums, block, out.data() + begin);
  }
}

}  // namespace

void compile(const Series& series, SpectrumProgram& program) {
  program.ops.clear();
  program.elements.clear();
  program.max_open_sums = 1;
  append_ops(series, 1, program);
}

void run(const SpectrumProgram& program, std::span<const PreparedElement> leaves, std::span<const double> omega,
         std::span<Complex> out) {
  run_blocks(program, PreparedLeaves{leaves.data(), omega.data()}, out);
}

void run(const SpectrumProgram& program, const LeafTables& tables, std::span<Complex> out) {
  run_blocks(program, TabulatedLeaves{tables, out.size()}, out);
}

}  // namespace kelvra
