#include "fit/global/xorshift128.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "fit/global/os_entropy.h"

namespace kelvra {
namespace {

// Marsaglia's shift triple (11, 8, 19) for the 128-bit generator.
constexpr int kShiftA = 11;
constexpr int kShiftB = 8;
constexpr int kShiftC = 19;
// The seed of Marsaglia's paper, used only in place of an all-zero state.
constexpr Xorshift128::State kPublishedSeed = {123456789U, 362436069U, 521288629U, 88675123U};

constexpr int kFloatMantissaShift = 9;  // 32 - 23 mantissa bits
constexpr std::uint32_t kFloatOneBits = 0x3F800000U;  // 1.0f
constexpr int kWordBits = 32;

bool is_zero(const Xorshift128::State& state) {
  return (state[0] | state[1] | state[2] | state[3]) == 0;
}

}  // namespace

Xorshift128::Xorshift128(const State& state) : state_(is_zero(state) ? kPublishedSeed : state) {}

Xorshift128 Xorshift128::from_entropy() {
  std::array<std::byte, sizeof(State)> bytes{};
  fill_from_os_entropy(bytes);
  State state{};
  std::memcpy(state.data(), bytes.data(), bytes.size());
  return Xorshift128(state);
}

std::uint32_t Xorshift128::next_u32() {
  auto& [x, y, z, w] = state_;
  const std::uint32_t t = x ^ (x << kShiftA);
  x = y;
  y = z;
  z = w;
  w = w ^ (w >> kShiftC) ^ (t ^ (t >> kShiftB));
  return w;
}

float Xorshift128::uniform01() {
  return std::bit_cast<float>((next_u32() >> kFloatMantissaShift) | kFloatOneBits) - 1.0F;
}

// Lemire's multiply-and-reject: the high word of draw * count is uniform
// once the draws whose low word falls in the short first stripe
// (2^32 mod count of them) are rejected.
std::uint32_t Xorshift128::index_below(std::uint32_t count) {
  std::uint64_t product = static_cast<std::uint64_t>(next_u32()) * count;
  auto low = static_cast<std::uint32_t>(product);
  if (low < count) {
    const std::uint32_t threshold = (0U - count) % count;
    while (low < threshold) {
      product = static_cast<std::uint64_t>(next_u32()) * count;
      low = static_cast<std::uint32_t>(product);
    }
  }
  return static_cast<std::uint32_t>(product >> kWordBits);
}

}  // namespace kelvra
