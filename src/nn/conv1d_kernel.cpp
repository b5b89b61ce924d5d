#include "nn/conv1d_kernel.h"

#include <cstring>

#include "nn/cpu_variant.h"

namespace kelvra {

namespace {

static_assert(kPositionBlock % (kNarrowWidth * kPositionVectors) == 0 &&
              kPositionBlock % (kWideWidth * kPositionVectors) == 0);

// The whole layer, inlined into each target variant so that the variant's
// instruction set (and its fused multiply-add) applies to every loop. The
// register block is kOutBlock channels by kPositionVectors registers of
// Width positions; loads and stores go through memcpy because rows are not
// aligned to the register size. Every output value still adds the bias
// first, then input channels in order and taps in order, as a plain
// convolution does.
template <std::size_t Width>
[[gnu::always_inline]] inline void conv1d_body(const ConvCall& call) {
  using Vec [[gnu::vector_size(Width * sizeof(double))]] = double;
  constexpr std::size_t kStep = Width * kPositionVectors;
  const ActivationLayout& layout = call.layout;
  const std::size_t weights_per_block = call.in_channels * call.taps * kOutBlock;
  for (std::size_t b = 0; b < call.out_blocks; ++b) {
    const double* const block_weights = call.weights + b * weights_per_block;
    const double* const block_bias = call.bias + b * kOutBlock;
    double* const block_out = call.output + b * kOutBlock * layout.stride + layout.left_pad;
    for (std::size_t t0 = 0; t0 < layout.blocked_positions; t0 += kStep) {
      // The block loops are unrolled completely so the accumulators stay in
      // registers instead of an array on the stack.
      Vec acc[kOutBlock][kPositionVectors];
#pragma GCC unroll 4
      for (std::size_t o = 0; o < kOutBlock; ++o) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < kPositionVectors; ++v) acc[o][v] = block_bias[o] + Vec{};
      }
      const double* w = block_weights;
      for (std::size_t c = 0; c < call.in_channels; ++c) {
        const double* const row = call.input + c * layout.stride + layout.left_pad + t0;
        for (std::size_t k = 0; k < call.taps; ++k, w += kOutBlock) {
          const double* const x = row + call.offsets[k];
          Vec in[kPositionVectors];
#pragma GCC unroll 4
          for (std::size_t v = 0; v < kPositionVectors; ++v) std::memcpy(&in[v], x + v * Width, sizeof in[v]);
#pragma GCC unroll 4
          for (std::size_t o = 0; o < kOutBlock; ++o) {
#pragma GCC unroll 4
            for (std::size_t v = 0; v < kPositionVectors; ++v) acc[o][v] += w[o] * in[v];
          }
        }
      }
#pragma GCC unroll 4
      for (std::size_t o = 0; o < kOutBlock; ++o) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < kPositionVectors; ++v) {
          std::memcpy(block_out + o * layout.stride + t0 + v * Width, &acc[o][v], sizeof acc[o][v]);
        }
      }
    }
    for (std::size_t o = 0; o < kOutBlock; ++o) {
      double* const tail = block_out + o * layout.stride + layout.positions;
      std::memset(tail, 0, (layout.blocked_positions - layout.positions) * sizeof(double));
    }
  }
}

#ifdef KELVRA_HAVE_WIDE_VARIANT
// With FMA enabled the compiler fuses acc += w * in into one rounding.
KELVRA_WIDE_TARGET void conv1d_wide(const ConvCall& call) { conv1d_body<kWideWidth>(call); }
#endif

}  // namespace

void conv1d_packed_portable(const ConvCall& call) { conv1d_body<kNarrowWidth>(call); }

void conv1d_packed(const ConvCall& call) {
#ifdef KELVRA_HAVE_WIDE_VARIANT
  if (runs_wide_variant()) {
    conv1d_wide(call);
    return;
  }
#endif
  conv1d_packed_portable(call);
}

}  // namespace kelvra
