// The dilated, zero-padded 1-D convolution of the network trunk over
// weights packed once at load, with a wider-vector variant picked at run
// time where the processor has one.
//
// Activations live in padded rows: channel c's position t is at
// c * stride + left_pad + t, and every row carries enough zeros on both
// sides (and past the last position, up to a whole position block) that
// each tap reads memory without a bounds test; zero padding of the signal
// falls out of that. The kernel keeps a block of kOutBlock output channels
// by kPositionBlock positions in registers while it runs over the input
// channels and taps, so each loaded input value feeds kOutBlock products.
#pragma once

#include <cstddef>

namespace kelvra {

// 4 x 3 accumulators, 3 inputs and a weight fit the 16 vector registers.
inline constexpr std::size_t kOutBlock = 4;
inline constexpr std::size_t kPositionVectors = 3;
// Positions are padded to whole blocks of the widest registers used:
// 3 registers of 4 doubles.
inline constexpr std::size_t kPositionBlock = 12;

struct ActivationLayout {
  std::size_t positions;          // G, the real signal length
  std::size_t blocked_positions;  // G rounded up to whole position blocks
  std::size_t left_pad;           // zeros before position 0
  std::size_t stride;             // doubles from one channel's row to the next
};

// One convolution over packed weights. Only the taps that can reach the
// signal are kept: tap k reads position t + offsets[k]. For output block b,
// input channel c and kept tap k, the kOutBlock weights of channels
// b*kOutBlock... are contiguous at
// weights[((b * in_channels + c) * taps + k) * kOutBlock].
// `bias` has out_blocks * kOutBlock values. Output rows get all
// blocked_positions positions written, then those past `positions` are
// reset to zero so the rows stay valid padded input for the next layer.
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
// The variant for any processor of the architecture.
void conv1d_packed_portable(const ConvCall& call);

}  // namespace kelvra
