// The seeded generator of particle swarm, simulated annealing and basin
// hopping: the ChaCha stream cipher with 12 rounds as a counter-mode
// generator, keyed from a 64-bit seed by PCG32 steps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kelvra {

inline constexpr std::size_t kChaChaKeyWords = 8;
inline constexpr std::size_t kChaChaBlockWords = 16;
// Words 12 and 13 of the input block hold the 64-bit block counter (low word
// first), words 14 and 15 the nonce.
inline constexpr std::size_t kChaChaCounterNonceWords = 4;
inline constexpr int kChaChaGeneratorRounds = 12;

using ChaChaKey = std::array<std::uint32_t, kChaChaKeyWords>;
using ChaChaBlock = std::array<std::uint32_t, kChaChaBlockWords>;

// One keystream block: `rounds` (even) rounds over the constants, the key
// and the counter/nonce words, added back to the input.
ChaChaBlock chacha_block(const ChaChaKey& key, const std::array<std::uint32_t, kChaChaCounterNonceWords>& counter_nonce,
                         int rounds);

// The key of a seeded generator: eight PCG32 outputs, each taken after
// advancing the 64-bit state, starting from `seed`.
ChaChaKey pcg32_key(std::uint64_t seed);

class ChaChaRng {
 public:
  // Block counter and nonce start at 0.
  explicit ChaChaRng(const ChaChaKey& key);
  static ChaChaRng from_seed(std::uint64_t seed);
  static ChaChaRng from_entropy();
  // Seeded when a seed is given; otherwise from the OS, not repeatable.
  static ChaChaRng from_optional_seed(std::optional<std::uint64_t> seed);

  std::uint32_t next_u32();
  // Two consecutive 32-bit outputs, the first as the low half.
  std::uint64_t next_u64();
  // [0, 1) from the top 52 bits of one 64-bit draw, as the mantissa of a
  // double in [1, 2) minus 1.
  double uniform01();
  // A step uniform in [-h, h), as 2h * uniform01() - h: the neighbour moves
  // of simulated annealing and the jumps of basin hopping.
  double symmetric_step(double half_width);
  // [0, 1) as (64-bit draw >> 11) * 2^-53.
  double acceptance_probability();

 private:
  void refill();

  ChaChaKey key_;
  std::uint64_t counter_ = 0;
  ChaChaBlock block_{};
  std::size_t next_word_ = kChaChaBlockWords;  // a fresh generator has no block yet
};

}  // namespace kelvra
