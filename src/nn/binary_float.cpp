#include "nn/binary_float.h"

#include <bit>
#include <cmath>
#include <limits>

namespace kelvra {
namespace {

// binary16: 1 sign bit, 5 exponent bits (bias 15), 10 fraction bits.
constexpr std::uint16_t kHalfSignMask = 0x8000;
constexpr int kHalfFractionBits = 10;
constexpr std::uint16_t kHalfFractionMask = 0x03FF;
constexpr std::uint16_t kHalfExponentMask = 0x1F;
constexpr std::uint16_t kHalfExponentAllOnes = 0x1F;
constexpr int kHalfExponentBias = 15;
// A subnormal is fraction * 2^(1 - bias - fraction bits) = fraction * 2^-24;
// a normal number is (2^10 + fraction) * 2^(exponent - 25).
constexpr int kHalfSubnormalScale = 1 - kHalfExponentBias - kHalfFractionBits;
constexpr int kHalfImplicitOne = 1 << kHalfFractionBits;

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "float must be IEEE 754 binary32");

}  // namespace

double decode_binary16(std::uint16_t bits) {
  const bool negative = (bits & kHalfSignMask) != 0;
  const int exponent = (bits >> kHalfFractionBits) & kHalfExponentMask;
  const int fraction = bits & kHalfFractionMask;
  double magnitude = 0.0;
  if (exponent == kHalfExponentAllOnes) {
    magnitude = fraction == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else if (exponent == 0) {
    magnitude = std::ldexp(static_cast<double>(fraction), kHalfSubnormalScale);
  } else {
    magnitude = std::ldexp(static_cast<double>(kHalfImplicitOne + fraction), exponent + kHalfSubnormalScale - 1);
  }
  return negative ? -magnitude : magnitude;
}

double decode_binary32(std::uint32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

}  // namespace kelvra
