#include <cmath>
#include <cstring>
#include <limits>

#include "nn/gelu_kernel.h"
#include "nn/packed_network.h"
#include "support/vector_clones.h"

namespace kelvra {

namespace {

constexpr double kNormEpsilon = 1e-5;

// Sums over a group run in two registers of two interleaved partial sums
// each: independent chains the processor adds side by side, in registers
// every x86-64 and 64-bit ARM processor has. The result differs from a sum
// in storage order only by rounding.
constexpr std::size_t kPairLanes = 2;
constexpr std::size_t kSumLanes = 2 * kPairLanes;
using PairLanes [[gnu::vector_size(kPairLanes * sizeof(double))]] = double;

struct PartialSums {
  PairLanes low{};
  PairLanes high{};

  double total() const { return (low[0] + low[1]) + (high[0] + high[1]); }
};

// One term of a sum: the value, or its squared distance from `centre`.
template <bool kSquares>
PairLanes term(PairLanes v, double centre) {
  if constexpr (kSquares) {
    v -= centre;
    v *= v;
  }
  return v;
}

// Adds x[0..n) (or their squared distances from `centre`) into `sums`.
template <bool kSquares>
void accumulate(PartialSums& sums, const double* x, std::size_t n, double centre) {
  PartialSums local = sums;
  std::size_t t = 0;
  for (; t + kSumLanes <= n; t += kSumLanes) {
    PairLanes a;
    PairLanes b;
    std::memcpy(&a, x + t, sizeof a);
    std::memcpy(&b, x + t + kPairLanes, sizeof b);
    local.low += term<kSquares>(a, centre);
    local.high += term<kSquares>(b, centre);
  }
  for (; t < n; ++t) local.low[0] += kSquares ? (x[t] - centre) * (x[t] - centre) : x[t];
  sums = local;
}

// Padded activation rows of one array, as the convolution kernel reads them.
struct Rows {
  double* base;
  const ActivationLayout* layout;

  double* row(std::size_t channel) const { return base + channel * layout->stride + layout->left_pad; }
};

void convolve(CpuVariant variant, const PackedConv& conv, const Rows& in, const Rows& out) {
  conv1d_packed(variant, {conv.weights.data(), conv.bias.data(), in.base, out.base, conv.in_channels, conv.out_blocks,
                 conv.offsets.data(), conv.offsets.size(), *in.layout});
}

// Normalises each group of channels over its channels and positions with
// the population variance, then optionally applies GELU while the row is
// in cache.
KELVRA_VECTOR_CLONES
void group_norm(CpuVariant variant, const PackedNorm& norm, std::size_t channels, std::size_t groups,
                const Rows& rows, bool with_gelu) {
  const std::size_t positions = rows.layout->positions;
  const std::size_t per_group = channels / groups;
  const double count = static_cast<double>(per_group * positions);
  for (std::size_t j = 0; j < groups; ++j) {
    const std::size_t first = j * per_group;
    PartialSums sum;
    for (std::size_t c = first; c < first + per_group; ++c) accumulate<false>(sum, rows.row(c), positions, 0.0);
    const double mean = sum.total() / count;
    PartialSums squares;
    for (std::size_t c = first; c < first + per_group; ++c) accumulate<true>(squares, rows.row(c), positions, mean);
    const double inverse_deviation = 1.0 / std::sqrt(squares.total() / count + kNormEpsilon);
    for (std::size_t c = first; c < first + per_group; ++c) {
      double* const x = rows.row(c);
      const double scale = norm.scale[c];
      const double shift = norm.shift[c];
      for (std::size_t t = 0; t < positions; ++t) x[t] = (x[t] - mean) * inverse_deviation * scale + shift;
      if (with_gelu) gelu_in_place(variant, x, positions);
    }
  }
}

// h = GELU(h + u), position by position.
KELVRA_VECTOR_CLONES
void add_residual(CpuVariant variant, std::size_t channels, const Rows& h, const Rows& u) {
  for (std::size_t c = 0; c < channels; ++c) {
    double* const x = h.row(c);
    const double* const r = u.row(c);
    for (std::size_t t = 0; t < h.layout->positions; ++t) x[t] += r[t];
    gelu_in_place(variant, x, h.layout->positions);
  }
}

// Per channel the mean over positions, then per channel the maximum
// (NaN positions ignored; a channel of NaN only gives -inf), then extras.
std::vector<double> pool(std::size_t channels, const Rows& h, const std::array<double, 2>& extras) {
  const std::size_t positions = h.layout->positions;
  std::vector<double> v(2 * channels + extras.size());
  for (std::size_t c = 0; c < channels; ++c) {
    const double* const x = h.row(c);
    double sum = 0.0;
    double peak = -std::numeric_limits<double>::infinity();
    for (std::size_t t = 0; t < positions; ++t) {
      sum += x[t];
      if (x[t] > peak) peak = x[t];
    }
    v[c] = sum / static_cast<double>(positions);
    v[channels + c] = peak;
  }
  v[2 * channels] = extras[0];
  v[2 * channels + 1] = extras[1];
  return v;
}

// out[j] = b[j] + sum over k in order of W[j][k] x[k], the sum starting
// from -0.0. Blocks of kLinearBlock outputs stay in registers while k runs;
// the input-major weights make each step one contiguous load per register.
constexpr std::size_t kLinearRegisters = 4;
constexpr std::size_t kLinearBlock = kLinearRegisters * kPairLanes;

std::vector<double> linear(CpuVariant variant, const PackedLinear& layer, const std::vector<double>& x,
                           bool with_gelu) {
  std::vector<double> out(layer.outputs);
  const double* const weights = layer.transposed.data();
  std::size_t j0 = 0;
  for (; j0 + kLinearBlock <= layer.outputs; j0 += kLinearBlock) {
    PairLanes acc[kLinearRegisters];
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kLinearRegisters; ++r) acc[r] = PairLanes{} - 0.0;
    for (std::size_t k = 0; k < layer.inputs; ++k) {
      const double* const w = weights + k * layer.outputs + j0;
#pragma GCC unroll 4
      for (std::size_t r = 0; r < kLinearRegisters; ++r) {
        PairLanes wr;
        std::memcpy(&wr, w + r * kPairLanes, sizeof wr);
        acc[r] += wr * x[k];
      }
    }
    std::memcpy(out.data() + j0, acc, sizeof acc);
  }
  for (std::size_t j = j0; j < layer.outputs; ++j) {
    double sum = -0.0;
    for (std::size_t k = 0; k < layer.inputs; ++k) sum += weights[k * layer.outputs + j] * x[k];
    out[j] = sum;
  }
  for (std::size_t j = 0; j < layer.outputs; ++j) out[j] = layer.bias[j] + out[j];
  if (with_gelu) gelu_in_place(variant, out.data(), out.size());
  return out;
}

}  // namespace

std::vector<double> forward(const PackedNetwork& network, const std::vector<double>& image,
                            const std::array<double, 2>& extras, CpuVariant variant) {
  const ActivationLayout& layout = network.layout;
  const std::size_t rows_per_array = network.stem.out_blocks * kOutBlock;
  // The input and three arrays of C rows (h, and u, v within a block),
  // zero-initialised once: the padding must read as zeros and no layer
  // writes it.
  constexpr std::size_t kTrunkArrays = 3;
  std::vector<double> buffer((kInputChannels + kTrunkArrays * rows_per_array) * layout.stride, 0.0);
  const Rows input{buffer.data(), &layout};
  const Rows h{input.base + kInputChannels * layout.stride, &layout};
  const Rows u{h.base + rows_per_array * layout.stride, &layout};
  const Rows v{u.base + rows_per_array * layout.stride, &layout};
  for (std::size_t c = 0; c < kInputChannels; ++c) {
    for (std::size_t t = 0; t < layout.positions; ++t) input.row(c)[t] = image[c * layout.positions + t];
  }

  const std::size_t channels = network.channels;
  convolve(variant, network.stem, input, h);
  for (const PackedBlock& block : network.blocks) {
    convolve(variant, block.conv1, h, u);
    group_norm(variant, block.norm1, channels, network.groups, u, true);
    convolve(variant, block.conv2, u, v);
    group_norm(variant, block.norm2, channels, network.groups, v, false);
    add_residual(variant, channels, h, v);
  }
  const std::vector<double> pooled = pool(channels, h, extras);
  const std::vector<double> first = linear(variant, network.head[0], pooled, true);
  const std::vector<double> second = linear(variant, network.head[1], first, true);
  return linear(variant, network.head[2], second, false);
}

}  // namespace kelvra
