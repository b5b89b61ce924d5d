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

// Evaluates n <= block frequencies. The sums lie innermost last in `sums`,
// each its `block` real parts followed by its `block` imaginary parts.
void run_block(const SpectrumProgram& program, const PreparedElement* leaves, const double* omega, std::size_t n,
               double* sums, std::size_t block, Complex* out) {
  const std::size_t stride = 2 * block;
  SumBlock sum{sums, sums + block};
  clear(sum, n);
  for (const SumOp op : program.ops) {
    switch (op) {
      case SumOp::Open:
        sum = {sum.re + stride, sum.im + stride};
        clear(sum, n);
        break;
      case SumOp::Leaf:
        add_prepared_impedance(*leaves++, {omega, n}, {sum.re, n}, {sum.im, n});
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

}  // namespace

void compile(const Series& series, SpectrumProgram& program) {
  program.ops.clear();
  program.elements.clear();
  program.max_open_sums = 1;
  append_ops(series, 1, program);
}

void run(const SpectrumProgram& program, std::span<const PreparedElement> leaves, std::span<const double> omega,
         std::span<Complex> out) {
  const std::size_t block = std::clamp<std::size_t>(kSumCapacity / program.max_open_sums, 1, kBlock);
  const std::size_t size = program.max_open_sums * 2 * block;
  thread_local std::vector<double> sums;
  if (sums.size() < size) sums.resize(size);
  for (std::size_t begin = 0; begin < omega.size(); begin += block) {
    const std::size_t n = std::min(block, omega.size() - begin);
    run_block(program, leaves.data(), omega.data() + begin, n, sums.data(), block, out.data() + begin);
  }
}

}  // namespace kelvra
