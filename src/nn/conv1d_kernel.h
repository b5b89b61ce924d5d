// The dilated, zero-padded 1-D convolution of the network trunk over
// weights packed once at load, with a wider-vector variant picked at run
// time where the processor has one.
//
// Activations live in padded rows: channel c's position t is at
// c * stride + left_pad + t, and every row carries enough zeros on both
// sides (and past the last position, up to a whole register) that each tap
// reads memory without a bounds test; zero padding of the signal falls out
// of that. The kernel keeps a block of output channels by
// kPositionVectors registers of positions in registers while it runs over
// the input channels and taps, so each loaded input value feeds one
// product per channel of the block.
#pragma once

#include <cstddef>

#include "nn/cpu_variant.h"

namespace kelvra {

// Weights are packed for blocks of kOutBlock output channels. A variant
// with 32 registers keeps all of them by 3 registers of positions in
// registers (24 accumulators, 3 inputs, a weight); one with 16 takes the
// block in halves (12 accumulators).
inline constexpr std::size_t kOutBlock = 8;
inline constexpr std::size_t kPositionVectors = 3;
// Rows are padded past the signal to a whole number of the widest
// registers used.
inline constexpr std::size_t kPositionPadding = kWidestWidth;

struct ActivationLayout {
  std::size_t positions;          // G, the real signal length
  std::size_t blocked_positions;  // G rounded up to kPositionPadding
  std::size_t left_pad;           // zeros before position 0
  std::size_t stride;             // doubles from one channel's row to the next
};

// One convolution over packed weights. Only the taps that can reach the
// signal are kept: tap k reads position t + offsets[k]. For output block b,
// input channel c and kept tap k, the kOutBlock weights of channels
// b*kOutBlock... are contiguous at
// weights[((b * in_channels + c) * taps + k) * kOutBlock].
// `bias` has out_blocks * kOutBlock values. The last register of a row may
// run past `positions` (never past blocked_positions); what it wrote there
// is reset to zero so the rows stay valid padded input for the next layer.
struct ConvCall {
  const double* weights;
  const double* bias;
  const double* input;  // in_channels padded rows
  double* output;       // out_blocks * kOutBlock padded rows
  std::size_t in_channels;
  std::size_t out_blocks;
  const std::ptrdiff_t* offsets;  // taps values, each within (-positions, positions)
  std::size_t taps;
  ActivationLayout layout;
};

// The variant this processor runs best.
void conv1d_packed(const ConvCall& call);
// A given variant, which the processor must support.
void conv1d_packed(CpuVariant variant, const ConvCall& call);

}  // namespace kelvra
