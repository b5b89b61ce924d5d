#include "nn/conv1d_kernel.h"

#include <cstring>

#include "nn/cpu_variant.h"

namespace kelvra {

namespace {

static_assert(kPositionPadding % kPortableWidth == 0 && kPositionPadding % kAvx2Width == 0 &&
              kPositionPadding % kAvx512Width == 0);

// One register block: Channels output channels (from `first` within
// packed block `block`) by Vectors registers of Width positions from t0,
// kept in registers (the loops over the block are unrolled completely)
// while the input channels and taps run. Loads and stores go through
// memcpy because rows are not aligned to the register size. Every output
// value adds the bias first, then input channels in order and taps in
// order, as a plain convolution does.
template <std::size_t Width, std::size_t Channels, std::size_t Vectors>
[[gnu::always_inline]] inline void conv1d_block(const ConvCall& call, std::size_t block, std::size_t first,
                                                std::size_t t0) {
  using Vec [[gnu::vector_size(Width * sizeof(double))]] = double;
  const ActivationLayout& layout = call.layout;
  const double* const bias = call.bias + block * kOutBlock + first;
  Vec acc[Channels][Vectors];
#pragma GCC unroll 8
  for (std::size_t o = 0; o < Channels; ++o) {
#pragma GCC unroll 4
    for (std::size_t v = 0; v < Vectors; ++v) acc[o][v] = bias[o] + Vec{};
  }
  const double* w = call.weights + block * call.in_channels * call.taps * kOutBlock + first;
  for (std::size_t c = 0; c < call.in_channels; ++c) {
    const double* const row = call.input + c * layout.stride + layout.left_pad + t0;
    for (std::size_t k = 0; k < call.taps; ++k, w += kOutBlock) {
      const double* const x = row + call.offsets[k];
      Vec in[Vectors];
#pragma GCC unroll 4
      for (std::size_t v = 0; v < Vectors; ++v) std::memcpy(&in[v], x + v * Width, sizeof in[v]);
#pragma GCC unroll 8
      for (std::size_t o = 0; o < Channels; ++o) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < Vectors; ++v) acc[o][v] += w[o] * in[v];
      }
    }
  }
  double* const out = call.output + (block * kOutBlock + first) * layout.stride + layout.left_pad + t0;
#pragma GCC unroll 8
  for (std::size_t o = 0; o < Channels; ++o) {
#pragma GCC unroll 4
    for (std::size_t v = 0; v < Vectors; ++v) std::memcpy(out + o * layout.stride + v * Width, &acc[o][v], sizeof acc[o][v]);
  }
}

// The whole layer, inlined into each target variant so that the variant's
// instruction set (and its fused multiply-add) applies to every loop: per
// register block of channels, full blocks of kPositionVectors registers,
// then what remains in a block of two registers and single registers, up
// to the end of the signal.
template <std::size_t Width, std::size_t Channels>
[[gnu::always_inline]] inline void conv1d_body(const ConvCall& call) {
  static_assert(kOutBlock % Channels == 0);
  constexpr std::size_t kFullStep = Width * kPositionVectors;
  const ActivationLayout& layout = call.layout;
  for (std::size_t b = 0; b < call.out_blocks; ++b) {
    for (std::size_t first = 0; first < kOutBlock; first += Channels) {
      std::size_t t0 = 0;
      for (; t0 + kFullStep <= layout.positions; t0 += kFullStep) {
        conv1d_block<Width, Channels, kPositionVectors>(call, b, first, t0);
      }
      if (t0 + 2 * Width <= layout.positions) {
        conv1d_block<Width, Channels, 2>(call, b, first, t0);
        t0 += 2 * Width;
      }
      for (; t0 < layout.positions; t0 += Width) conv1d_block<Width, Channels, 1>(call, b, first, t0);
      // The last register may have run past the signal.
      for (std::size_t o = 0; o < Channels; ++o) {
        double* const row = call.output + (b * kOutBlock + first + o) * layout.stride + layout.left_pad;
        std::memset(row + layout.positions, 0, (t0 - layout.positions) * sizeof(double));
      }
    }
  }
}

// Output channels per register block: half a packed block where there are
// 16 vector registers, all of it where there are 32.
constexpr std::size_t kSixteenRegisterChannels = kOutBlock / 2;
constexpr std::size_t kThirtyTwoRegisterChannels = kOutBlock;

void conv1d_portable(const ConvCall& call) { conv1d_body<kPortableWidth, kSixteenRegisterChannels>(call); }

#ifdef KELVRA_HAVE_X86_VARIANTS
// With FMA enabled the compiler fuses acc += w * in into one rounding.
KELVRA_AVX2_TARGET void conv1d_avx2(const ConvCall& call) { conv1d_body<kAvx2Width, kSixteenRegisterChannels>(call); }
KELVRA_AVX512_TARGET void conv1d_avx512(const ConvCall& call) {
  conv1d_body<kAvx512Width, kThirtyTwoRegisterChannels>(call);
}
#endif

}  // namespace

void conv1d_packed(CpuVariant variant, const ConvCall& call) {
#ifdef KELVRA_HAVE_X86_VARIANTS
  if (variant == CpuVariant::Avx512) {
    conv1d_avx512(call);
    return;
  }
  if (variant == CpuVariant::Avx2) {
    conv1d_avx2(call);
    return;
  }
#endif
  conv1d_portable(call);
}

void conv1d_packed(const ConvCall& call) { conv1d_packed(best_variant(), call); }

}  // namespace kelvra
