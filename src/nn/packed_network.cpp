#include "nn/packed_network.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace kelvra {

namespace {

constexpr std::uint64_t kStemDilation = 1;

std::size_t round_up(std::size_t n, std::size_t multiple) { return (n + multiple - 1) / multiple * multiple; }

// The loader has checked that every tensor inference reads is present.
const Tensor& layer_tensor(const Guesser& guesser, const std::string& prefix, const char* part) {
  return guesser.tensors.find("w." + prefix + "." + part)->second;
}

struct Tap {
  std::size_t index;
  std::ptrdiff_t offset;
};

// Tap k reads position t + k*d - floor(d*(K-1)/2). A tap whose offset is G
// or more either way reads only padding for every t, so it is dropped;
// that also keeps a file's huge dilation from sizing the buffers.
// Writing k = c + m with c = floor((K-1)/2), the offset is m*d - r, where
// r = floor(d/2) for even K and 0 for odd K. For m != 0 its size is at
// least d/2, so with d >= 2G only the tap m = 0 can be live, and every
// product formed below stays small.
std::vector<Tap> live_taps(std::uint64_t dilation, std::size_t taps, std::size_t positions) {
  const auto centre = static_cast<std::ptrdiff_t>((taps - 1) / 2);
  const std::uint64_t remainder = (taps - 1) % 2 == 1 ? dilation / 2 : 0;
  const auto limit = static_cast<std::ptrdiff_t>(positions);
  const bool far_apart = dilation >= 2 * static_cast<std::uint64_t>(positions);
  std::vector<Tap> live;
  for (std::size_t k = 0; k < taps; ++k) {
    const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(k) - centre;
    if (m != 0 && far_apart) continue;
    const std::ptrdiff_t offset =
        (m == 0 ? 0 : m * static_cast<std::ptrdiff_t>(dilation)) - static_cast<std::ptrdiff_t>(remainder);
    if (-limit < offset && offset < limit) live.push_back({k, offset});
  }
  return live;
}

PackedConv pack_conv(const Guesser& guesser, const std::string& prefix, std::size_t in_channels,
                     std::uint64_t dilation) {
  const Tensor& weight = layer_tensor(guesser, prefix, "weight");
  const Tensor& bias = layer_tensor(guesser, prefix, "bias");
  const std::size_t taps = guesser.kernel;
  const std::size_t out_channels = weight.dims[0];
  const std::vector<Tap> live = live_taps(dilation, taps, guesser.n_grid);
  PackedConv conv{in_channels, round_up(out_channels, kOutBlock) / kOutBlock, {}, {}, {}};
  for (const Tap& tap : live) conv.offsets.push_back(tap.offset);
  conv.weights.assign(conv.out_blocks * in_channels * live.size() * kOutBlock, 0.0);
  conv.bias.assign(conv.out_blocks * kOutBlock, 0.0);
  for (std::size_t o = 0; o < out_channels; ++o) {
    const std::size_t block = o / kOutBlock;
    const std::size_t lane = o % kOutBlock;
    conv.bias[o] = bias.data[o];
    for (std::size_t c = 0; c < in_channels; ++c) {
      for (std::size_t k = 0; k < live.size(); ++k) {
        conv.weights[((block * in_channels + c) * live.size() + k) * kOutBlock + lane] =
            weight.data[(o * in_channels + c) * taps + live[k].index];
      }
    }
  }
  return conv;
}

PackedNorm pack_norm(const Guesser& guesser, const std::string& prefix) {
  return {layer_tensor(guesser, prefix, "weight").data, layer_tensor(guesser, prefix, "bias").data};
}

PackedLinear pack_linear(const Guesser& guesser, const std::string& prefix) {
  const Tensor& weight = layer_tensor(guesser, prefix, "weight");
  const std::size_t outputs = weight.dims[0];
  const std::size_t inputs = weight.dims[1];
  PackedLinear linear{inputs, outputs, std::vector<double>(inputs * outputs), {}};
  for (std::size_t j = 0; j < outputs; ++j) {
    for (std::size_t k = 0; k < inputs; ++k) linear.transposed[k * outputs + j] = weight.data[j * inputs + k];
  }
  const std::vector<double>& bias = layer_tensor(guesser, prefix, "bias").data;
  linear.bias.assign(bias.begin(), bias.begin() + static_cast<std::ptrdiff_t>(outputs));
  return linear;
}

// Rows padded with enough zeros on each side for the farthest tap of any
// layer, and past the signal up to a whole register.
ActivationLayout layout_for(const PackedNetwork& network, std::size_t positions) {
  std::ptrdiff_t left = 0;
  std::ptrdiff_t right = 0;
  const auto widen = [&](const PackedConv& conv) {
    for (const std::ptrdiff_t offset : conv.offsets) {
      left = std::max(left, -offset);
      right = std::max(right, offset);
    }
  };
  widen(network.stem);
  for (const PackedBlock& block : network.blocks) {
    widen(block.conv1);
    widen(block.conv2);
  }
  const std::size_t blocked = round_up(positions, kPositionPadding);
  return {positions, blocked, static_cast<std::size_t>(left),
          static_cast<std::size_t>(left) + blocked + static_cast<std::size_t>(right)};
}

}  // namespace

PackedNetwork pack_network(const Guesser& guesser) {
  const std::size_t channels = guesser.channels;
  PackedNetwork network{{},
                        channels,
                        guesser.groups,
                        pack_conv(guesser, "stem", kInputChannels, kStemDilation),
                        {},
                        {pack_linear(guesser, "head.0"), pack_linear(guesser, "head.2"),
                         pack_linear(guesser, "head.4")}};
  for (std::size_t i = 0; i < guesser.dilations.size(); ++i) {
    const std::string block = "blocks." + std::to_string(i) + ".";
    const std::uint64_t d = guesser.dilations[i];
    network.blocks.push_back({pack_conv(guesser, block + "conv1", channels, d), pack_norm(guesser, block + "norm1"),
                              pack_conv(guesser, block + "conv2", channels, d),
                              pack_norm(guesser, block + "norm2")});
  }
  network.layout = layout_for(network, guesser.n_grid);
  return network;
}

}  // namespace kelvra
