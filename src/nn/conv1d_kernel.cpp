#include "nn/conv1d_kernel.h"

#include <cstring>

namespace kelvra {

namespace {

// A GCC/Clang generic vector: on a processor without 256-bit registers the
// compiler splits each operation into narrower ones. Loads and stores go
// through memcpy because rows are not aligned to the vector size.
typedef double Vec __attribute__((vector_size(kVectorWidth * sizeof(double))));

// The whole layer, inlined into each target variant so that the variant's
// instruction set (and its fused multiply-add) applies to every loop.
// Every output value still adds the bias first, then input channels in
// order and taps in order, as a plain convolution does.
[[gnu::always_inline]] inline void conv1d_body(const ConvCall& call) {
  const ActivationLayout& layout = call.layout;
  const std::size_t weights_per_block = call.in_channels * call.taps * kOutBlock;
  for (std::size_t b = 0; b < call.out_blocks; ++b) {
    const double* const block_weights = call.weights + b * weights_per_block;
    const double* const block_bias = call.bias + b * kOutBlock;
    double* const block_out = call.output + b * kOutBlock * layout.stride + layout.left_pad;
    for (std::size_t t0 = 0; t0 < layout.blocked_positions; t0 += kPositionBlock) {
      Vec acc[kOutBlock][kPositionVectors];
      for (std::size_t o = 0; o < kOutBlock; ++o) {
        for (std::size_t v = 0; v < kPositionVectors; ++v) acc[o][v] = Vec{} + block_bias[o];
      }
      const double* w = block_weights;
      for (std::size_t c = 0; c < call.in_channels; ++c) {
        const double* const row = call.input + c * layout.stride + layout.left_pad + t0;
        for (std::size_t k = 0; k < call.taps; ++k, w += kOutBlock) {
          const double* const x = row + call.offsets[k];
          Vec in[kPositionVectors];
          for (std::size_t v = 0; v < kPositionVectors; ++v) std::memcpy(&in[v], x + v * kVectorWidth, sizeof in[v]);
          for (std::size_t o = 0; o < kOutBlock; ++o) {
            const Vec weight = Vec{} + w[o];
            for (std::size_t v = 0; v < kPositionVectors; ++v) acc[o][v] += weight * in[v];
          }
        }
      }
      for (std::size_t o = 0; o < kOutBlock; ++o) {
        for (std::size_t v = 0; v < kPositionVectors; ++v) {
          std::memcpy(block_out + o * layout.stride + t0 + v * kVectorWidth, &acc[o][v], sizeof acc[o][v]);
        }
      }
    }
    for (std::size_t o = 0; o < kOutBlock; ++o) {
      double* const tail = block_out + o * layout.stride + layout.positions;
      std::memset(tail, 0, (layout.blocked_positions - layout.positions) * sizeof(double));
    }
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define KELVRA_HAVE_AVX2_VARIANT 1
// With FMA enabled the compiler fuses acc += weight * in into one rounding.
[[gnu::target("avx2,fma")]] void conv1d_avx2(const ConvCall& call) { conv1d_body(call); }
#endif

using ConvVariant = void (*)(const ConvCall&);

ConvVariant best_variant() {
#ifdef KELVRA_HAVE_AVX2_VARIANT
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return conv1d_avx2;
#endif
  return conv1d_packed_portable;
}

}  // namespace

void conv1d_packed_portable(const ConvCall& call) { conv1d_body(call); }

void conv1d_packed(const ConvCall& call) {
  static const ConvVariant variant = best_variant();
  variant(call);
}

}  // namespace kelvra
