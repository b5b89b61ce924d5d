#include "circuit/spectrum_program.h"

#include <algorithm>

#include "support/vector_clones.h"

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

// 1/z with one division: the sensitivities are not held to the bits of the
// impedance's own reciprocals, only to their value.
Complex inverse(Complex z) {
  const double scale = 1.0 / (z.re * z.re + z.im * z.im);
  return {z.re * scale, -z.im * scale};
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
KELVRA_VECTOR_CLONES
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

KELVRA_VECTOR_CLONES
void leaf_sensitivities(const SpectrumProgram& program, const LeafTables& tables, std::span<Complex> sensitivity) {
  const std::size_t leaves = program.elements.size();
  if (leaves == 0) return;
  const std::size_t k_count = tables.re.size() / leaves;
  const std::size_t closes = static_cast<std::size_t>(std::count(program.ops.begin(), program.ops.end(), SumOp::Close));
  // Per thread and only growing: the open sums (innermost last) and the
  // reciprocal of every sum in the order the program closes them, K values
  // each.
  thread_local std::vector<Complex> sums;
  thread_local std::vector<Complex> closed;
  sums.resize(program.max_open_sums * k_count);
  closed.resize(closes * k_count);

  // Forward: the sums of run(), each one's reciprocal kept as the program
  // closes it.
  Complex* sum = sums.data();
  std::fill_n(sum, k_count, Complex{});
  std::size_t leaf = 0;
  std::size_t close = 0;
  for (const SumOp op : program.ops) {
    switch (op) {
      case SumOp::Open:
        sum += k_count;
        std::fill_n(sum, k_count, Complex{});
        break;
      case SumOp::Leaf:
        for (std::size_t k = 0; k < k_count; ++k) {
          sum[k] = sum[k] + Complex{tables.re[leaf * k_count + k], tables.im[leaf * k_count + k]};
        }
        ++leaf;
        break;
      case SumOp::Close: {
        Complex* kept = closed.data() + close++ * k_count;
        for (std::size_t k = 0; k < k_count; ++k) kept[k] = inverse(sum[k]);
        sum -= k_count;
        for (std::size_t k = 0; k < k_count; ++k) sum[k] = sum[k] + kept[k];
        break;
      }
    }
  }

  // Back: the open sums now hold dZ / d(sum). Closing a sum S into its outer
  // sum added 1/S, so dZ/dS = -dZ/d(outer) (1/S)^2; a leaf added to a sum has
  // that sum's sensitivity; reversed, an Open leaves its sum.
  Complex* adjoint = sums.data();
  std::fill_n(adjoint, k_count, Complex{1.0, 0.0});
  for (auto op = program.ops.rbegin(); op != program.ops.rend(); ++op) {
    switch (*op) {
      case SumOp::Close: {
        const Complex* reciprocals = closed.data() + --close * k_count;
        Complex* inner = adjoint + k_count;
        for (std::size_t k = 0; k < k_count; ++k) {
          const Complex r = reciprocals[k];
          const Complex product = adjoint[k] * (r * r);
          inner[k] = {-product.re, -product.im};
        }
        adjoint = inner;
        break;
      }
      case SumOp::Leaf:
        --leaf;
        std::copy_n(adjoint, k_count, sensitivity.data() + leaf * k_count);
        break;
      case SumOp::Open:
        adjoint -= k_count;
        break;
    }
  }
}

}  // namespace kelvra
