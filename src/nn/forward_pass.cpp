#include <cmath>
#include <limits>

#include "nn/gelu_kernel.h"
#include "nn/packed_network.h"

namespace kelvra {

namespace {

constexpr std::size_t kInputChannels = 3;
constexpr double kNormEpsilon = 1e-5;

// Padded activation rows of one array, as the convolution kernel reads them.
struct Rows {
  double* base;
  const ActivationLayout* layout;

  double* row(std::size_t channel) const { return base + channel * layout->stride + layout->left_pad; }
};

void convolve(const PackedConv& conv, const Rows& in, const Rows& out) {
  conv1d_packed({conv.weights.data(), conv.bias.data(), in.base, out.base, conv.in_channels, conv.out_blocks,
                 conv.offsets.data(), conv.offsets.size(), *in.layout});
}

// Normalises each group of channels over its channels and positions with
// the population variance, then optionally applies GELU while the row is
// in cache.
void group_norm(const PackedNorm& norm, std::size_t channels, std::size_t groups, const Rows& rows,
                bool with_gelu) {
  const std::size_t positions = rows.layout->positions;
  const std::size_t per_group = channels / groups;
  const double count = static_cast<double>(per_group * positions);
  for (std::size_t j = 0; j < groups; ++j) {
    const std::size_t first = j * per_group;
    double sum = 0.0;
    for (std::size_t c = first; c < first + per_group; ++c) {
      for (std::size_t t = 0; t < positions; ++t) sum += rows.row(c)[t];
    }
    const double mean = sum / count;
    double squares = 0.0;
    for (std::size_t c = first; c < first + per_group; ++c) {
      for (std::size_t t = 0; t < positions; ++t) {
        const double centred = rows.row(c)[t] - mean;
        squares += centred * centred;
      }
    }
    const double inverse_deviation = 1.0 / std::sqrt(squares / count + kNormEpsilon);
    for (std::size_t c = first; c < first + per_group; ++c) {
      double* const x = rows.row(c);
      const double scale = norm.scale[c];
      const double shift = norm.shift[c];
      for (std::size_t t = 0; t < positions; ++t) x[t] = (x[t] - mean) * inverse_deviation * scale + shift;
      if (with_gelu) gelu_in_place(x, positions);
    }
  }
}

// h = GELU(h + u), position by position.
void add_residual(std::size_t channels, const Rows& h, const Rows& u) {
  for (std::size_t c = 0; c < channels; ++c) {
    double* const x = h.row(c);
    const double* const r = u.row(c);
    for (std::size_t t = 0; t < h.layout->positions; ++t) x[t] += r[t];
    gelu_in_place(x, h.layout->positions);
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
// from -0.0; run input by input so each step is a contiguous row update.
std::vector<double> linear(const PackedLinear& layer, const std::vector<double>& x, bool with_gelu) {
  std::vector<double> out(layer.outputs, -0.0);
  for (std::size_t k = 0; k < layer.inputs; ++k) {
    const double* const w = layer.transposed.data() + k * layer.outputs;
    const double xk = x[k];
    for (std::size_t j = 0; j < layer.outputs; ++j) out[j] += w[j] * xk;
  }
  for (std::size_t j = 0; j < layer.outputs; ++j) out[j] = layer.bias[j] + out[j];
  if (with_gelu) gelu_in_place(out.data(), out.size());
  return out;
}

}  // namespace

std::vector<double> forward(const PackedNetwork& network, const std::vector<double>& image,
                            const std::array<double, 2>& extras) {
  const ActivationLayout& layout = network.layout;
  const std::size_t rows_per_array = network.stem.out_blocks * kOutBlock;
  // Zero-initialised once: the padding must read as zeros and no layer
  // writes it.
  std::vector<double> buffer((kInputChannels + 3 * rows_per_array) * layout.stride, 0.0);
  const Rows input{buffer.data(), &layout};
  const Rows h{input.base + kInputChannels * layout.stride, &layout};
  const Rows u{h.base + rows_per_array * layout.stride, &layout};
  const Rows v{u.base + rows_per_array * layout.stride, &layout};
  for (std::size_t c = 0; c < kInputChannels; ++c) {
    for (std::size_t t = 0; t < layout.positions; ++t) input.row(c)[t] = image[c * layout.positions + t];
  }

  const std::size_t channels = network.channels;
  convolve(network.stem, input, h);
  for (const PackedBlock& block : network.blocks) {
    convolve(block.conv1, h, u);
    group_norm(block.norm1, channels, network.groups, u, true);
    convolve(block.conv2, u, v);
    group_norm(block.norm2, channels, network.groups, v, false);
    add_residual(channels, h, v);
  }
  const std::vector<double> pooled = pool(channels, h, extras);
  const std::vector<double> hidden = linear(network.head[0], pooled, true);
  return linear(network.head[2], linear(network.head[1], hidden, true), false);
}

}  // namespace kelvra
