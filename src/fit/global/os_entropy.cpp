#include "fit/global/os_entropy.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace kelvra {
namespace {

// splitmix64 constants: the golden-ratio increment and the two multipliers
// of its finaliser, which spread every input bit over the whole output.
constexpr std::uint64_t kSplitMixIncrement = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kSplitMixMul1 = 0xBF58476D1CE4E5B9ULL;
constexpr std::uint64_t kSplitMixMul2 = 0x94D049BB133111EBULL;
constexpr int kSplitMixShift1 = 30;
constexpr int kSplitMixShift2 = 27;
constexpr int kSplitMixShift3 = 31;

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += kSplitMixIncrement);
  z = (z ^ (z >> kSplitMixShift1)) * kSplitMixMul1;
  z = (z ^ (z >> kSplitMixShift2)) * kSplitMixMul2;
  return z ^ (z >> kSplitMixShift3);
}

// Last resort when getrandom is missing: distinct per call thanks to the
// counter, unpredictable enough to decorrelate runs, never reproducible.
void fill_from_clock(std::span<std::byte> out) {
  static std::atomic<std::uint64_t> calls{0};
  std::uint64_t state = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        (calls.fetch_add(1) * kSplitMixMul2);
  for (std::size_t offset = 0; offset < out.size(); offset += sizeof(std::uint64_t)) {
    const std::uint64_t word = splitmix64(state);
    std::memcpy(out.data() + offset, &word, std::min(sizeof word, out.size() - offset));
  }
}

}  // namespace

void fill_from_os_entropy(std::span<std::byte> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      fill_from_clock(out.subspan(filled));
      return;
    }
  }
}

}  // namespace kelvra
