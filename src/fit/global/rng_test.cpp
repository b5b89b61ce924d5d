#include <gtest/gtest.h>

#include <array>
#include <utility>
#include <cstdint>
#include <set>

#include "fit/global/chacha_rng.h"
#include "fit/global/xorshift128.h"

namespace kelvra {
namespace {

using CounterNonce = std::array<std::uint32_t, kChaChaCounterNonceWords>;

// A deliberately plain ChaCha written from the quarter-round definition:
// one round at a time, column rounds on even rounds and diagonal rounds on
// odd ones, rotations spelled out as shifts.
std::uint32_t rotate_left(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

void reference_quarter(ChaChaBlock& s, int a, int b, int c, int d) {
  s[a] += s[b]; s[d] ^= s[a]; s[d] = rotate_left(s[d], 16);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = rotate_left(s[b], 12);
  s[a] += s[b]; s[d] ^= s[a]; s[d] = rotate_left(s[d], 8);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = rotate_left(s[b], 7);
}

ChaChaBlock reference_block(const ChaChaKey& key, const CounterNonce& counter_nonce, int rounds) {
  ChaChaBlock input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
  for (int i = 0; i < 4; ++i) input[12 + i] = counter_nonce[i];
  ChaChaBlock s = input;
  for (int round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      for (int col = 0; col < 4; ++col) reference_quarter(s, col, col + 4, col + 8, col + 12);
    } else {
      reference_quarter(s, 0, 5, 10, 15);
      reference_quarter(s, 1, 6, 11, 12);
      reference_quarter(s, 2, 7, 8, 13);
      reference_quarter(s, 3, 4, 9, 14);
    }
  }
  for (int i = 0; i < 16; ++i) s[i] += input[i];
  return s;
}

// Key bytes 00 01 02 ... 1f as little-endian words.
constexpr ChaChaKey kCountingKey = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                    0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

TEST(ChaChaBlock, MatchesRfc8439BlockTestVector) {
  // Block counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
  const ChaChaBlock expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(chacha_block(kCountingKey, {1, 0x09000000, 0x4a000000, 0}, 20), expected);
}

TEST(ChaChaBlock, TwelveRoundsMatchPlainReference) {
  const std::array<std::pair<ChaChaKey, CounterNonce>, 3> inputs = {{
      {kCountingKey, {0, 0, 0, 0}},
      {pcg32_key(42), {7, 0, 0, 0}},
      {pcg32_key(0), {0xffffffff, 0x12345678, 0, 0}},
  }};
  for (const auto& [key, counter_nonce] : inputs) {
    EXPECT_EQ(chacha_block(key, counter_nonce, kChaChaGeneratorRounds),
              reference_block(key, counter_nonce, kChaChaGeneratorRounds));
  }
}

TEST(Pcg32Key, FillsEightWordsFromTheSeed) {
  // Each word from the state after one step of s * 6364136223846793005 +
  // 11634580027462260723, computed independently.
  const std::array<std::pair<std::uint64_t, ChaChaKey>, 2> table = {{
      {0, {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7}},
      {42, {0x7ba18fa4, 0x0a3d3258, 0xcca1b8ea, 0xb8140169, 0x75c88c2b, 0x54f7b418, 0xa16e448d, 0xf220dfe4}},
  }};
  for (const auto& [seed, key] : table) EXPECT_EQ(pcg32_key(seed), key) << seed;
}

TEST(ChaChaRng, StreamsBlocksInCounterOrder) {
  const ChaChaKey key = pcg32_key(42);
  ChaChaRng rng = ChaChaRng::from_seed(42);
  for (std::uint32_t counter = 0; counter < 3; ++counter) {
    const ChaChaBlock block = reference_block(key, {counter, 0, 0, 0}, kChaChaGeneratorRounds);
    for (const std::uint32_t word : block) EXPECT_EQ(rng.next_u32(), word);
  }
  EXPECT_EQ(ChaChaRng::from_seed(42).next_u32(), 0x222724a2U);
}

TEST(ChaChaRng, DrawsTakeLowHalfFirstAndTheirTopBits) {
  ChaChaRng words = ChaChaRng::from_seed(42);
  ChaChaRng wide = ChaChaRng::from_seed(42);
  ChaChaRng uniform = ChaChaRng::from_seed(42);
  ChaChaRng acceptance = ChaChaRng::from_seed(42);
  for (int i = 0; i < 20; ++i) {
    const std::uint64_t low = words.next_u32();
    const std::uint64_t x = low | (std::uint64_t{words.next_u32()} << 32);
    EXPECT_EQ(wide.next_u64(), x);
    EXPECT_EQ(uniform.uniform01(), static_cast<double>(x >> 12) * 0x1p-52);
    EXPECT_EQ(acceptance.acceptance_probability(), static_cast<double>(x >> 11) * 0x1p-53);
  }
  // The first draw of seed 42, computed independently.
  EXPECT_EQ(ChaChaRng::from_seed(42).uniform01(), 0.5265574090027738);
}

TEST(ChaChaRng, UnseededGeneratorsDiffer) {
  EXPECT_NE(ChaChaRng::from_entropy().next_u64(), ChaChaRng::from_entropy().next_u64());
  EXPECT_EQ(ChaChaRng::from_optional_seed(5).next_u64(), ChaChaRng::from_seed(5).next_u64());
}

constexpr Xorshift128::State kMarsagliaSeed = {123456789, 362436069, 521288629, 88675123};

TEST(Xorshift128, ReproducesMarsagliaSequence) {
  Xorshift128 rng(kMarsagliaSeed);
  for (const std::uint32_t expected : {3701687786U, 458299110U, 2500872618U, 3633119408U, 516391518U}) {
    EXPECT_EQ(rng.next_u32(), expected);
  }
}

TEST(Xorshift128, ZeroStateIsNotAFixedPoint) {
  Xorshift128 zero({0, 0, 0, 0});
  EXPECT_EQ(zero.next_u32(), 3701687786U);
}

TEST(Xorshift128, UniformFloatUsesTopTwentyThreeBits) {
  Xorshift128 words(kMarsagliaSeed);
  Xorshift128 floats(kMarsagliaSeed);
  for (int i = 0; i < 20; ++i) {
    const float u = floats.uniform01();
    EXPECT_EQ(u, static_cast<float>(words.next_u32() >> 9) * 0x1p-23F);
    EXPECT_GE(u, 0.0F);
    EXPECT_LT(u, 1.0F);
  }
}

TEST(Xorshift128, IndexDrawsCoverTheRangeOnly) {
  Xorshift128 rng(kMarsagliaSeed);
  for (const std::uint32_t count : {1U, 3U, 100U}) {
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
      const std::uint32_t index = rng.index_below(count);
      ASSERT_LT(index, count);
      seen.insert(index);
    }
    EXPECT_EQ(seen.size(), count);
  }
}

TEST(Xorshift128, IndexDrawStaysBelowALargeCount) {
  // Just above 2^31 nearly half of all draws fall in the rejected stripe.
  constexpr std::uint32_t kCount = 0x80000001U;
  Xorshift128 rng(kMarsagliaSeed);
  for (int i = 0; i < 2000; ++i) ASSERT_LT(rng.index_below(kCount), kCount);
}

}  // namespace
}  // namespace kelvra
