// Exact widening of the stored IEEE 754 formats to double. Every binary16
// and binary32 value, subnormals, infinities and NaN included, is exactly
// representable as a double, so nothing here rounds.
#pragma once

#include <cstdint>

namespace kelvra {

double decode_binary16(std::uint16_t bits);
double decode_binary32(std::uint32_t bits);

}  // namespace kelvra
