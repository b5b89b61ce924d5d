// A loaded network's weights rearranged once for inference, and the forward
// pass over them. The layout serves the convolution kernel (see
// conv1d_kernel.h) and lets the head's dense layers run over contiguous
// output rows.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "nn/conv1d_kernel.h"
#include "nn/guesser.h"

namespace kelvra {

// Channels of the network input: log modulus, phase, log frequency.
inline constexpr std::size_t kInputChannels = 3;

struct PackedConv {
  std::size_t in_channels;
  std::size_t out_blocks;  // output channels rounded up to kOutBlock, in blocks
  std::vector<std::ptrdiff_t> offsets;  // of the taps that reach the signal
  std::vector<double> weights;          // see ConvCall; padding channels hold zeros
  std::vector<double> bias;     // out_blocks * kOutBlock
};

struct PackedNorm {
  std::vector<double> scale;  // one per channel
  std::vector<double> shift;
};

struct PackedBlock {
  PackedConv conv1;
  PackedNorm norm1;
  PackedConv conv2;
  PackedNorm norm2;
};

// A dense layer with its weight stored input-major ([inputs][outputs]), so
// that one input updates every output in a contiguous run.
struct PackedLinear {
  std::size_t inputs;
  std::size_t outputs;
  std::vector<double> transposed;
  std::vector<double> bias;
};

struct PackedNetwork {
  ActivationLayout layout;
  std::size_t channels;
  std::size_t groups;
  PackedConv stem;
  std::vector<PackedBlock> blocks;
  std::array<PackedLinear, 3> head;  // "head.0", "head.2", "head.4"
};

// `guesser` must hold every network tensor with the shapes the loader
// checks.
PackedNetwork pack_network(const Guesser& guesser);

// The raw outputs of the last head layer (all its rows, of which the first
// P are parameters) for a 3 x G input image and the two extra scalars,
// computed with the given kernel variant (which the processor must
// support).
std::vector<double> forward(const PackedNetwork& network, const std::vector<double>& image,
                            const std::array<double, 2>& extras, CpuVariant variant);

}  // namespace kelvra
