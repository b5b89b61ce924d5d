// The IEEE-754 total order on doubles as an unsigned key:
// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN. Sorting costs by this key
// gives NaN a fixed place instead of breaking the sort's strict weak order.
#pragma once

#include <bit>
#include <cstdint>

namespace kelvra {

constexpr std::uint64_t total_order_key(double x) {
  constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
  const auto bits = std::bit_cast<std::uint64_t>(x);
  // Negative values order backwards by magnitude, so flip all their bits;
  // non-negative ones move above every negative by setting the sign bit.
  return (bits & kSignBit) != 0 ? ~bits : bits | kSignBit;
}

constexpr bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

}  // namespace kelvra
