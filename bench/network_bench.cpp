// Time of one learned guess (features, forward pass and decoding) on a
// 50-point spectrum for the built-in networks of each trunk width, beside
// the same prediction computed with plain loops in the network's defining
// order.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "nn/cpu_variant.h"
#include "nn/network.h"
#include "nn/nn_test_support.h"

namespace {

struct Model {
  const char* file;
  const char* width;
};

constexpr Model kModels[] = {{"rc", "C=16"}, {"two_rq", "C=32"}, {"sei_randles", "C=64"}};
constexpr std::size_t kPoints = 50;
constexpr double kMinSeconds = 1.0;  // per timed operation

template <class F>
double milliseconds_per_call(F&& call) {
  using Clock = std::chrono::steady_clock;
  std::size_t reps = 1;
  for (;;) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < reps; ++i) call();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds >= kMinSeconds) return seconds * 1e3 / static_cast<double>(reps);
    reps *= 2;
  }
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main() {
  using namespace kelvra;
  const testing::TestSpectrum spectrum = testing::two_arc_spectrum(kPoints);
  std::printf("%zu-point spectrum, %s kernels\n", kPoints, variant_name(best_variant()));
  std::printf("%-12s %-5s %12s %12s %8s\n", "model", "width", "guess ms", "plain ms", "ratio");
  for (const Model& model : kModels) {
    const std::vector<std::uint8_t> bytes = read_file(std::string(KELVRA_WEIGHTS_DIR) + "/" + model.file + ".eisnn");
    auto loaded = from_bytes(bytes);
    if (!loaded) {
      std::fprintf(stderr, "%s: %s\n", model.file, display(loaded.error()).c_str());
      return 1;
    }
    const Predictor predictor(std::move(loaded).value());
    const testing::ReferenceNetwork plain(predictor.guesser());
    double sink = 0.0;
    const double guess_ms = milliseconds_per_call(
        [&] { sink += predictor.predict(spectrum.frequencies, spectrum.impedances).value()[0]; });
    const double plain_ms =
        milliseconds_per_call([&] { sink += plain.predict(spectrum.frequencies, spectrum.impedances)[0]; });
    std::printf("%-12s %-5s %12.4f %12.4f %7.1fx%s\n", model.file, model.width, guess_ms, plain_ms, plain_ms / guess_ms,
                sink == 0.0 ? " " : "");
  }
  return 0;
}
