// Text helpers shared by every message the system shows: code-point
// decoding, debug quoting and the three number formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra {

// Decodes UTF-8 into Unicode code points. Positions in parse errors and the
// edit distance both count code points, never bytes. Malformed bytes decode
// to U+FFFD one byte at a time, so decoding never fails.
std::vector<char32_t> decode_utf8(std::string_view text);

// Whether `text` is well-formed UTF-8 throughout (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// `text` without the Unicode White_Space characters at either end; a
// malformed byte counts as a kept character.
std::string_view trim_whitespace(std::string_view text);

// `text` in double quotes with a backslash before '"' and '\\' and escapes
// for control characters (\n, \r, \t, \0, otherwise \u{hex}).
std::string debug_quoted(std::string_view text);

// Compact format of circuit text and messages: plain shortest round-trip
// decimal for ±0, ±inf and 1e-4 <= |x| < 1e6, scientific otherwise
// ("1e-12", "1.5e-7", "2e6", "NaN").
std::string format_number(double x);

// Debug format of element reprs and fit-result params: shortest round-trip
// digits, positional with at least one fractional digit ("1.0", "250.0"),
// scientific ("1e-5", "1e16") when nonzero and below 1e-4 or at least 1e16;
// "inf", "-inf", "NaN".
std::string format_debug_number(double x);

// Exponent form with six fractional digits and a bare exponent
// ("1.234568e-3", "4.200000e1", "0.000000e0", "NaN", "inf").
std::string format_exponent6(double x);

}  // namespace kelvra
