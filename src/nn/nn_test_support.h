// Networks with random weights of any shape, and a plain forward pass
// written loop by loop as the network is defined, for checking the packed
// kernels against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "nn/gelu_kernel.h"
#include "nn/guesser.h"
#include "nn/network.h"

namespace kelvra::testing {

// GELU exactly as the network is defined.
inline double gelu(double x) {
  return (std::tanh((((kGeluCubic * x) * x) * x + x) * kSqrtTwoOverPi) + 1.0) * (0.5 * x);
}

struct NetworkShape {
  std::uint64_t channels = 16;
  std::uint64_t kernel = 5;
  std::uint64_t groups = 4;
  std::uint64_t n_grid = 64;
  std::vector<std::uint64_t> dilations = {1, 2, 4, 8};
};

inline Tensor random_tensor(std::vector<std::uint32_t> dims, double spread, std::mt19937_64& rng) {
  std::size_t count = 1;
  for (const std::uint32_t d : dims) count *= d;
  std::uniform_real_distribution<double> uniform(-spread, spread);
  Tensor t{std::move(dims), std::vector<double>(count)};
  for (double& x : t.data) x = uniform(rng);
  return t;
}

// Three outputs: a resistance-like log output, a CPE q and its linear alpha.
inline Guesser random_guesser(const NetworkShape& shape, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Guesser g;
  g.circuit = "R0-CPE1";
  g.param_names = {"R0.r", "CPE1.q", "CPE1.alpha"};
  g.dilations = shape.dilations;
  g.target_mean = {0.1, -0.2, 0.7};
  g.target_std = {0.5, 0.8, 0.2};
  g.log_params = {true, true, false};
  g.scaling = {{1, 0, 0, -1}, {-1, 0, -1, 2}, {0, 0, 0, -1}};
  g.n_grid = shape.n_grid;
  g.channels = shape.channels;
  g.kernel = shape.kernel;
  g.groups = shape.groups;
  g.alpha_min = 0.05;
  g.alpha_max = 1.0;
  const auto c = static_cast<std::uint32_t>(shape.channels);
  const auto k = static_cast<std::uint32_t>(shape.kernel);
  const std::uint32_t hidden = 4 * c;
  // Weights of order 1/sqrt(fan-in) keep the activations of order one.
  const auto conv = [&](const std::string& prefix, std::uint32_t in) {
    g.tensors["w." + prefix + ".weight"] = random_tensor({c, in, k}, 1.7 / std::sqrt(in * k), rng);
    g.tensors["w." + prefix + ".bias"] = random_tensor({c}, 0.3, rng);
  };
  const auto norm = [&](const std::string& prefix) {
    Tensor scale = random_tensor({c}, 0.5, rng);
    for (double& x : scale.data) x += 1.0;
    g.tensors["w." + prefix + ".weight"] = scale;
    g.tensors["w." + prefix + ".bias"] = random_tensor({c}, 0.3, rng);
  };
  const auto linear = [&](const std::string& prefix, std::uint32_t out, std::uint32_t in) {
    g.tensors["w." + prefix + ".weight"] = random_tensor({out, in}, 1.7 / std::sqrt(in), rng);
    g.tensors["w." + prefix + ".bias"] = random_tensor({out}, 0.3, rng);
  };
  conv("stem", 3);
  for (std::size_t i = 0; i < shape.dilations.size(); ++i) {
    const std::string block = "blocks." + std::to_string(i) + ".";
    conv(block + "conv1", c);
    norm(block + "norm1");
    conv(block + "conv2", c);
    norm(block + "norm2");
  }
  linear("head.0", hidden, 2 * c + 2);
  linear("head.2", hidden, hidden);
  linear("head.4", 6, hidden);
  return g;
}

// A smooth two-arc spectrum over `count` log-spaced frequencies.
struct TestSpectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

inline TestSpectrum two_arc_spectrum(std::size_t count) {
  TestSpectrum s;
  for (std::size_t i = 0; i < count; ++i) {
    const double f = 1e-2 * std::pow(10.0, 7.0 * static_cast<double>(i) / static_cast<double>(count - 1));
    const double w = 6.283185307179586 * f;
    const Complex arc1 = reciprocal(Complex{1.0 / 40.0, w * 1e-5});
    const Complex arc2 = reciprocal(Complex{1.0 / 120.0, w * 3e-3});
    s.frequencies.push_back(f);
    s.impedances.push_back(Complex{5.0, 0.0} + arc1 + arc2);
  }
  return s;
}

// The forward pass and decoding as the network is defined: every loop in
// its defining order, no packing.
class ReferenceNetwork {
 public:
  explicit ReferenceNetwork(const Guesser& g) : g_(g) {}

  using Array = std::vector<double>;  // channel-major, C x G

  Array conv1d(const Array& x, std::size_t in_channels, const std::string& prefix, std::uint64_t dilation) const {
    const Tensor& w = weight(prefix);
    const Tensor& b = bias(prefix);
    const std::size_t out_channels = w.dims[0];
    const std::size_t taps = g_.kernel;
    const auto n = static_cast<std::int64_t>(g_.n_grid);
    const auto d = static_cast<std::int64_t>(dilation);
    const std::int64_t pad = d * static_cast<std::int64_t>(taps - 1) / 2;
    Array out(out_channels * g_.n_grid);
    for (std::size_t o = 0; o < out_channels; ++o) {
      for (std::int64_t t = 0; t < n; ++t) out[o * g_.n_grid + t] = b.data[o];
      for (std::size_t c = 0; c < in_channels; ++c) {
        for (std::size_t k = 0; k < taps; ++k) {
          const double wk = w.data[(o * in_channels + c) * taps + k];
          if (wk == 0.0) continue;
          for (std::int64_t t = 0; t < n; ++t) {
            const std::int64_t s = t + static_cast<std::int64_t>(k) * d - pad;
            if (s >= 0 && s < n) out[o * g_.n_grid + t] += x[c * g_.n_grid + s] * wk;
          }
        }
      }
    }
    return out;
  }

  void group_norm(Array& x, const std::string& prefix) const {
    const std::size_t per_group = g_.channels / g_.groups;
    const std::size_t span = per_group * g_.n_grid;
    for (std::size_t j = 0; j < g_.groups; ++j) {
      double* const v = x.data() + j * span;
      double sum = 0.0;
      for (std::size_t i = 0; i < span; ++i) sum += v[i];
      const double mean = sum / static_cast<double>(span);
      double squares = 0.0;
      for (std::size_t i = 0; i < span; ++i) squares += (v[i] - mean) * (v[i] - mean);
      const double inv = 1.0 / std::sqrt(squares / static_cast<double>(span) + 1e-5);
      for (std::size_t i = 0; i < span; ++i) {
        const std::size_t c = j * per_group + i / g_.n_grid;
        v[i] = (v[i] - mean) * inv * weight(prefix).data[c] + bias(prefix).data[c];
      }
    }
  }

  Array linear(const Array& x, const std::string& prefix) const {
    const Tensor& w = weight(prefix);
    const std::size_t rows = w.dims[0];
    Array out(rows);
    for (std::size_t j = 0; j < rows; ++j) {
      double sum = -0.0;
      for (std::size_t k = 0; k < x.size(); ++k) sum += w.data[j * x.size() + k] * x[k];
      out[j] = bias(prefix).data[j] + sum;
    }
    return out;
  }

  // The last head layer's outputs for one spectrum's features.
  Array raw(const SpectrumFeatures& in) const {
    const std::size_t c = g_.channels;
    const std::size_t n = g_.n_grid;
    Array h = conv1d(in.image, 3, "stem", 1);
    for (std::size_t i = 0; i < g_.dilations.size(); ++i) {
      const std::string q = "blocks." + std::to_string(i) + ".";
      Array u = conv1d(h, c, q + "conv1", g_.dilations[i]);
      group_norm(u, q + "norm1");
      for (double& x : u) x = gelu(x);
      u = conv1d(u, c, q + "conv2", g_.dilations[i]);
      group_norm(u, q + "norm2");
      for (std::size_t t = 0; t < h.size(); ++t) h[t] = gelu(h[t] + u[t]);
    }
    Array v(2 * c + 2);
    for (std::size_t ch = 0; ch < c; ++ch) {
      double sum = 0.0;
      double peak = -std::numeric_limits<double>::infinity();
      for (std::size_t t = 0; t < n; ++t) {
        sum += h[ch * n + t];
        if (h[ch * n + t] > peak) peak = h[ch * n + t];
      }
      v[ch] = sum / static_cast<double>(n);
      v[c + ch] = peak;
    }
    v[2 * c] = in.extras[0];
    v[2 * c + 1] = in.extras[1];
    v = linear(v, "head.0");
    for (double& x : v) x = gelu(x);
    v = linear(v, "head.2");
    for (double& x : v) x = gelu(x);
    return linear(v, "head.4");
  }

  std::vector<double> predict(const std::vector<double>& frequencies, const std::vector<Complex>& impedances) const {
    const SpectrumFeatures in = features(g_, frequencies, impedances);
    const Array y = raw(in);
    const std::size_t count = g_.param_names.size();
    std::vector<double> p(count);
    for (std::size_t i = 0; i < count; ++i) {
      const double value = g_.target_mean[i] + g_.target_std[i] * y[i];
      p[i] = g_.log_params[i] ? std::pow(10.0, value) : std::clamp(value, g_.alpha_min, g_.alpha_max);
    }
    const std::vector<double> reduced = p;
    for (std::size_t i = 0; i < count; ++i) {
      const Scaling& s = g_.scaling[i];
      const double t = s.alpha_index >= 0 ? s.alpha_factor * reduced[s.alpha_index] : 0.0;
      p[i] = std::pow(in.r_scale, s.r_power) * reduced[i] * std::pow(in.omega_scale, s.omega_power + t);
    }
    return p;
  }

 private:
  const Tensor& weight(const std::string& prefix) const { return g_.tensors.at("w." + prefix + ".weight"); }
  const Tensor& bias(const std::string& prefix) const { return g_.tensors.at("w." + prefix + ".bias"); }

  const Guesser& g_;
};

}  // namespace kelvra::testing
