// The generator of differential evolution: Marsaglia's xorshift128 on four
// 32-bit words, always seeded from the operating system.
#pragma once

#include <array>
#include <cstdint>

namespace kelvra {

class Xorshift128 {
 public:
  using State = std::array<std::uint32_t, 4>;

  // An all-zero state is a fixed point of the recurrence; it is replaced by
  // Marsaglia's published seed.
  explicit Xorshift128(const State& state);
  static Xorshift128 from_entropy();

  std::uint32_t next_u32();
  // [0, 1) from the top 23 bits of one output, as the mantissa of a float
  // in [1, 2) minus 1.
  float uniform01();
  // Uniform in 0 .. count - 1 without modulo bias; count must be at least 1.
  std::uint32_t index_below(std::uint32_t count);

 private:
  State state_;
};

}  // namespace kelvra
