// The number syntax of weight-file metadata values. Both parsers take the
// whole text and accept no surrounding spaces.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvra {

// An optional "+" and one or more ASCII decimal digits that fit in 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// An optional sign, then either decimal digits with an optional point (at
// least one digit on either side of it) and an optional exponent ("e" or
// "E", optional sign, digits), or one of the words "inf", "infinity" and
// "nan" in any letter case. Hexadecimal forms and NaN payloads are refused.
// A magnitude beyond the double range reads as infinity, one below it as
// zero, both with the written sign.
std::optional<double> parse_float(std::string_view text);

}  // namespace kelvra
