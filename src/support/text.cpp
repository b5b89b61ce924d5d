#include "support/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>

namespace kelvra {
namespace {

constexpr char32_t kReplacementChar = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;
constexpr char32_t kSurrogateLast = 0xDFFF;

// Lead-byte patterns of UTF-8: the mask keeps the marker bits, the value is
// what they must read, and payload_mask keeps the code-point bits.
struct LeadPattern {
  unsigned char mask;
  unsigned char value;
  unsigned char payload_mask;
  std::size_t length;
  char32_t smallest;  // below this the encoding is overlong
};
constexpr LeadPattern kLeadPatterns[] = {
    {0x80, 0x00, 0x7F, 1, 0x0},
    {0xE0, 0xC0, 0x1F, 2, 0x80},
    {0xF0, 0xE0, 0x0F, 3, 0x800},
    {0xF8, 0xF0, 0x07, 4, 0x10000},
};
constexpr unsigned char kContinuationMask = 0xC0;
constexpr unsigned char kContinuationValue = 0x80;
constexpr unsigned char kContinuationPayload = 0x3F;
constexpr int kContinuationBits = 6;

// The code point starting at text[i] and its byte length, or nothing when
// the bytes there are not well-formed UTF-8.
struct Decoded {
  char32_t code_point;
  std::size_t length;
};
std::optional<Decoded> decode_one(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  for (const LeadPattern& pattern : kLeadPatterns) {
    if ((lead & pattern.mask) != pattern.value) continue;
    if (text.size() - i < pattern.length) return std::nullopt;
    char32_t cp = lead & pattern.payload_mask;
    for (std::size_t k = 1; k < pattern.length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      if ((byte & kContinuationMask) != kContinuationValue) return std::nullopt;
      cp = (cp << kContinuationBits) | (byte & kContinuationPayload);
    }
    if (cp < pattern.smallest || cp > kMaxCodePoint || (cp >= kSurrogateFirst && cp <= kSurrogateLast)) {
      return std::nullopt;
    }
    return Decoded{cp, pattern.length};
  }
  return std::nullopt;
}

void append_utf8(std::string& out, char32_t cp) {
  constexpr char32_t kOneByteLimit = 0x80;
  constexpr char32_t kTwoByteLimit = 0x800;
  constexpr char32_t kThreeByteLimit = 0x10000;
  const auto continuation = [](char32_t bits) {
    return static_cast<char>(kContinuationValue | (bits & kContinuationPayload));
  };
  if (cp < kOneByteLimit) {
    out += static_cast<char>(cp);
  } else if (cp < kTwoByteLimit) {
    out += static_cast<char>(kLeadPatterns[1].value | (cp >> kContinuationBits));
    out += continuation(cp);
  } else if (cp < kThreeByteLimit) {
    out += static_cast<char>(kLeadPatterns[2].value | (cp >> (2 * kContinuationBits)));
    out += continuation(cp >> kContinuationBits);
    out += continuation(cp);
  } else {
    out += static_cast<char>(kLeadPatterns[3].value | (cp >> (3 * kContinuationBits)));
    out += continuation(cp >> (2 * kContinuationBits));
    out += continuation(cp >> kContinuationBits);
    out += continuation(cp);
  }
}

// The Unicode White_Space property: the ASCII tab to carriage return, space,
// next line, no-break space, ogham space mark, the en quad to hair space,
// the line and paragraph separators, the narrow no-break space, the medium
// mathematical space and the ideographic space.
bool is_whitespace(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

// C0 controls, DEL and the C1 controls are escaped; everything else is
// printed as itself.
bool is_control(char32_t cp) {
  constexpr char32_t kFirstPrintable = 0x20;
  constexpr char32_t kDelete = 0x7F;
  constexpr char32_t kLastC1 = 0x9F;
  return cp < kFirstPrintable || (cp >= kDelete && cp <= kLastC1);
}

// A finite double as its shortest round-trip decimal digits d1 d2 ... dn,
// meaning d1.d2...dn x 10^exponent.
struct Decimal {
  bool negative;
  std::string digits;
  int exponent;
};

// Splits to_chars' scientific output "-d.ddde+XX" into the mantissa and the
// exponent as a number.
struct ScientificParts {
  std::string_view mantissa;
  int exponent;
};
ScientificParts split_scientific(std::string_view text) {
  const std::size_t e = text.find('e');
  std::string_view exponent = text.substr(e + 1);
  if (exponent.front() == '+') exponent.remove_prefix(1);
  int value = 0;
  std::from_chars(exponent.data(), exponent.data() + exponent.size(), value);
  return {text.substr(0, e), value};
}

// Large enough for any double in scientific form with up to 17 digits.
constexpr std::size_t kNumberBufferSize = 32;

Decimal shortest_decimal(double x) {
  char buffer[kNumberBufferSize];
  const auto [end, ec] = std::to_chars(buffer, buffer + kNumberBufferSize, x, std::chars_format::scientific);
  (void)ec;  // cannot fail: the buffer holds every double's shortest form
  const auto [mantissa, exponent] = split_scientific({buffer, static_cast<std::size_t>(end - buffer)});
  Decimal decimal{false, {}, exponent};
  for (const char c : mantissa) {
    if (c == '-') {
      decimal.negative = true;
    } else if (c != '.') {
      decimal.digits += c;
    }
  }
  return decimal;
}

// d1[.d2...dn]e{exponent}, the exponent bare and signed only when negative.
std::string scientific(const Decimal& decimal) {
  std::string out = decimal.negative ? "-" : "";
  out += decimal.digits.front();
  if (decimal.digits.size() > 1) out.append(".").append(decimal.digits, 1);
  return out.append("e").append(std::to_string(decimal.exponent));
}

// Positional notation; an integral value gets ".0" only when asked to.
std::string positional(const Decimal& decimal, bool force_fraction) {
  std::string out = decimal.negative ? "-" : "";
  if (decimal.exponent < 0) {
    out.append("0.").append(static_cast<std::size_t>(-decimal.exponent - 1), '0').append(decimal.digits);
    return out;
  }
  const auto integral_digits = static_cast<std::size_t>(decimal.exponent) + 1;
  if (decimal.digits.size() > integral_digits) {
    out.append(decimal.digits, 0, integral_digits).append(".").append(decimal.digits, integral_digits);
  } else {
    out.append(decimal.digits).append(integral_digits - decimal.digits.size(), '0');
    if (force_fraction) out.append(".0");
  }
  return out;
}

// The words every format uses for the non-finite values; a NaN prints
// without sign.
std::optional<std::string> non_finite_text(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  return std::nullopt;
}

// Magnitudes of the compact format's positional range [1e-4, 1e6) and of the
// debug format's [1e-4, 1e16).
constexpr double kPositionalLow = 1e-4;
constexpr double kCompactPositionalHigh = 1e6;
constexpr double kDebugPositionalHigh = 1e16;

}  // namespace

std::vector<char32_t> decode_utf8(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (const auto decoded = decode_one(text, i)) {
      out.push_back(decoded->code_point);
      i += decoded->length;
    } else {
      out.push_back(kReplacementChar);
      ++i;
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto decoded = decode_one(text, i);
    if (!decoded) return false;
    i += decoded->length;
  }
  return true;
}

std::string_view trim_whitespace(std::string_view text) {
  std::size_t first = text.size();  // start of the first kept code point
  std::size_t last = 0;             // end of the last kept code point
  std::size_t i = 0;
  while (i < text.size()) {
    const auto decoded = decode_one(text, i);
    const std::size_t length = decoded ? decoded->length : 1;
    if (!decoded || !is_whitespace(decoded->code_point)) {
      first = std::min(first, i);
      last = i + length;
    }
    i += length;
  }
  return first < last ? text.substr(first, last - first) : std::string_view{};
}

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (const char32_t cp : decode_utf8(text)) {
    switch (cp) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'\t': out += "\\t"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_control(cp)) {
          constexpr int kHexBase = 16;
          char hex[8];
          const auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned>(cp), kHexBase);
          (void)ec;  // a control character needs at most two hex digits
          out += "\\u{" + std::string(hex, end) + "}";
        } else {
          append_utf8(out, cp);
        }
    }
  }
  return out + "\"";
}

std::string format_number(double x) {
  if (const auto word = non_finite_text(x)) return *word;
  const double magnitude = std::fabs(x);
  const Decimal decimal = shortest_decimal(x);
  if (x == 0.0 || (magnitude >= kPositionalLow && magnitude < kCompactPositionalHigh)) {
    return positional(decimal, false);
  }
  return scientific(decimal);
}

std::string format_debug_number(double x) {
  if (const auto word = non_finite_text(x)) return *word;
  const double magnitude = std::fabs(x);
  const Decimal decimal = shortest_decimal(x);
  if (x == 0.0 || (magnitude >= kPositionalLow && magnitude < kDebugPositionalHigh)) {
    return positional(decimal, true);
  }
  return scientific(decimal);
}

std::string format_exponent6(double x) {
  if (const auto word = non_finite_text(x)) return *word;
  constexpr int kFractionDigits = 6;
  char buffer[kNumberBufferSize];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + kNumberBufferSize, x, std::chars_format::scientific, kFractionDigits);
  (void)ec;  // six fractional digits and a three-digit exponent always fit
  const auto [mantissa, exponent] = split_scientific({buffer, static_cast<std::size_t>(end - buffer)});
  return std::string(mantissa) + "e" + std::to_string(exponent);
}

}  // namespace kelvra
