#include "circuit/impedance_sweep.h"

#include <algorithm>
#include <array>

#include "circuit/evaluate.h"
#include "support/interrupt.h"
#include "support/worker_pool.h"

namespace kelvra {
namespace {

// Frequencies per pool task: large enough that claiming a task (one atomic
// increment on a shared cache line) is negligible, small enough to balance
// the load over a few threads.
constexpr std::size_t kSweepChunk = 256;

void sweep_chunk(const Series& series, std::span<const double> frequencies, std::span<Complex> out) {
  poll_interrupt();
  std::array<double, kSweepChunk> omega;
  for (std::size_t i = 0; i < frequencies.size(); ++i) omega[i] = kTwoPi * frequencies[i];
  spectrum_impedance(series, std::span(omega).first(frequencies.size()), out);
}

}  // namespace

void sweep_impedance(const Series& series, std::span<const double> frequencies, std::span<Complex> out) {
  const std::size_t n = frequencies.size();
  const auto chunk = [&](std::size_t c) {
    const std::size_t begin = c * kSweepChunk;
    const std::size_t size = std::min(kSweepChunk, n - begin);
    sweep_chunk(series, frequencies.subspan(begin, size), out.subspan(begin, size));
  };
  const std::size_t chunks = (n + kSweepChunk - 1) / kSweepChunk;
  if (n < kParallelSweepThreshold) {
    for (std::size_t c = 0; c < chunks; ++c) chunk(c);
  } else {
    parallel_for(chunks, chunk);
  }
}

}  // namespace kelvra
