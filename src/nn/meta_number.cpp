#include "nn/meta_number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace kelvra {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t count_digits(std::string_view text, std::size_t from) {
  std::size_t end = from;
  while (end < text.size() && is_digit(text[end])) ++end;
  return end - from;
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) {
  return text.size() == lower_word.size() &&
         std::equal(text.begin(), text.end(), lower_word.begin(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b; });
}

// The decimal form split into its parts; nothing when the text is not one.
struct DecimalParts {
  std::string_view integral;  // digits before the point
  std::string_view fraction;  // digits after it
  std::string_view exponent;  // signed exponent digits, may be empty
};

std::optional<DecimalParts> split_decimal(std::string_view body) {
  DecimalParts parts;
  std::size_t pos = count_digits(body, 0);
  parts.integral = body.substr(0, pos);
  if (pos < body.size() && body[pos] == '.') {
    const std::size_t digits = count_digits(body, pos + 1);
    parts.fraction = body.substr(pos + 1, digits);
    pos += 1 + digits;
  }
  if (parts.integral.empty() && parts.fraction.empty()) return std::nullopt;
  if (pos < body.size() && (body[pos] == 'e' || body[pos] == 'E')) {
    const std::size_t sign = pos + 1 < body.size() && (body[pos + 1] == '+' || body[pos + 1] == '-') ? 1 : 0;
    const std::size_t digits = count_digits(body, pos + 1 + sign);
    if (digits == 0) return std::nullopt;
    parts.exponent = body.substr(pos + 1, sign + digits);
    pos += 1 + sign + digits;
  }
  if (pos != body.size()) return std::nullopt;
  return parts;
}

// Only called for a magnitude outside the double range: whether it lies
// above it (rather than below). The decimal exponent of the leading nonzero
// digit decides; the written exponent saturates, since any value past
// this bound is already far outside the range.
bool is_overflow(const DecimalParts& parts) {
  constexpr long long kExponentSaturation = 1'000'000'000;
  long long exponent = 0;
  bool negative_exponent = false;
  for (const char c : parts.exponent) {
    if (c == '-') negative_exponent = true;
    if (is_digit(c)) exponent = std::min(exponent * 10 + (c - '0'), kExponentSaturation);
  }
  if (negative_exponent) exponent = -exponent;
  const auto leading = parts.integral.find_first_not_of('0');
  if (leading != std::string_view::npos) {
    return exponent + static_cast<long long>(parts.integral.size() - leading) - 1 >= 0;
  }
  const auto first_nonzero = parts.fraction.find_first_not_of('0');
  return exponent - static_cast<long long>(first_nonzero) - 1 >= 0;
}

}  // namespace

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || count_digits(text, 0) != text.size()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_float(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_ascii_case(text, "inf") || equals_ignoring_ascii_case(text, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_ascii_case(text, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  const auto parts = split_decimal(text);
  if (!parts) return std::nullopt;
  double magnitude = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (ec == std::errc::result_out_of_range) {
    magnitude = is_overflow(*parts) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return sign * magnitude;
}

}  // namespace kelvra
