// Time of one learned guess (features, forward pass and decoding) on a
// 50-point spectrum for the built-in networks of each trunk width, beside
// the same prediction computed with plain loops in the network's defining
// order, and the time of features and forward pass with each kernel
// variant this processor runs.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "call_timing.h"
#include "nn/cpu_variant.h"
#include "nn/network.h"
#include "nn/nn_test_support.h"
#include "nn/packed_network.h"

namespace {

struct Model {
  const char* file;
  const char* width;
};

constexpr Model kModels[] = {{"rc", "C=16"}, {"two_rq", "C=32"}, {"sei_randles", "C=64"}};
constexpr std::size_t kPoints = 50;

template <class F>
double milliseconds_per_call(F&& call) {
  return kelvra::bench::seconds_per_call(call) * 1e3;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main() {
  using namespace kelvra;
  const testing::TestSpectrum spectrum = testing::two_arc_spectrum(kPoints);
  std::printf("%zu-point spectrum; guess with the %s kernels; times in ms per spectrum\n", kPoints,
              variant_name(best_variant()));
  std::printf("%-12s %-5s %9s %9s %7s", "model", "width", "guess", "plain", "ratio");
  for (const CpuVariant variant : kAllVariants) {
    if (supports(variant)) std::printf(" %9s", variant_name(variant));
  }
  std::printf("\n");
  for (const Model& model : kModels) {
    const std::vector<std::uint8_t> bytes = read_file(std::string(KELVRA_WEIGHTS_DIR) + "/" + model.file + ".eisnn");
    auto loaded = from_bytes(bytes);
    if (!loaded) {
      std::fprintf(stderr, "%s: %s\n", model.file, display(loaded.error()).c_str());
      return 1;
    }
    const Predictor predictor(std::move(loaded).value());
    const Guesser& guesser = predictor.guesser();
    const testing::ReferenceNetwork plain(guesser);
    double sink = 0.0;
    const double guess_ms = milliseconds_per_call(
        [&] { sink += predictor.predict(spectrum.frequencies, spectrum.impedances).value()[0]; });
    const double plain_ms =
        milliseconds_per_call([&] { sink += plain.predict(spectrum.frequencies, spectrum.impedances)[0]; });
    std::printf("%-12s %-5s %9.4f %9.4f %6.1fx", model.file, model.width, guess_ms, plain_ms, plain_ms / guess_ms);
    const PackedNetwork network = pack_network(guesser);
    for (const CpuVariant variant : kAllVariants) {
      if (!supports(variant)) continue;
      std::printf(" %9.4f", milliseconds_per_call([&] {
                    const SpectrumFeatures in = features(guesser, spectrum.frequencies, spectrum.impedances);
                    sink += forward(network, in.image, in.extras, variant)[0];
                  }));
    }
    std::printf("%s\n", sink == 0.0 ? " " : "");
  }
  return 0;
}
