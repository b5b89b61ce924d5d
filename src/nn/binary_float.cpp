#include "nn/binary_float.h"

#include <bit>
#include <limits>

namespace kelvra {
namespace {

// binary16: 1 sign bit, 5 exponent bits (bias 15), 10 fraction bits.
// binary64: 1 sign bit, 11 exponent bits (bias 1023), 52 fraction bits.
// A normal or non-finite half moves field by field into a double: the
// fraction gains 42 low zero bits and the exponent is rebiased.
constexpr int kHalfFractionBits = 10;
constexpr std::uint16_t kHalfFractionMask = 0x03FF;
constexpr std::uint16_t kHalfExponentMask = 0x1F;
constexpr std::uint16_t kHalfExponentAllOnes = 0x1F;
constexpr int kHalfSignShift = 15;
constexpr int kHalfExponentBias = 15;
constexpr int kDoubleFractionBits = 52;
constexpr int kDoubleSignShift = 63;
constexpr std::uint64_t kDoubleExponentAllOnes = 0x7FF;
constexpr int kDoubleExponentBias = 1023;
constexpr int kFractionShift = kDoubleFractionBits - kHalfFractionBits;
// A subnormal half is its fraction times 2^(1 - 15 - 10); the product is
// exact in double.
constexpr double kHalfSubnormalUnit = 1.0 / (1 << (kHalfExponentBias - 1 + kHalfFractionBits));
static_assert(kHalfSubnormalUnit == 0x1p-24);

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "float must be IEEE 754 binary32");
static_assert(std::numeric_limits<double>::is_iec559, "double must be IEEE 754 binary64");

}  // namespace

double decode_binary16(std::uint16_t bits) {
  const std::uint64_t sign = static_cast<std::uint64_t>(bits >> kHalfSignShift) << kDoubleSignShift;
  const std::uint64_t exponent = (bits >> kHalfFractionBits) & kHalfExponentMask;
  const std::uint64_t fraction = bits & kHalfFractionMask;
  if (exponent == 0) {
    const double magnitude = static_cast<double>(fraction) * kHalfSubnormalUnit;
    return sign != 0 ? -magnitude : magnitude;
  }
  const std::uint64_t double_exponent =
      exponent == kHalfExponentAllOnes ? kDoubleExponentAllOnes : exponent - kHalfExponentBias + kDoubleExponentBias;
  return std::bit_cast<double>(sign | (double_exponent << kDoubleFractionBits) | (fraction << kFractionShift));
}

double decode_binary32(std::uint32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

}  // namespace kelvra
