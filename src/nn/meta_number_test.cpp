#include "nn/meta_number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace kelvra {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ParseUnsigned, Table) {
  const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
      {"64", 64},
      {"+64", 64},
      {"007", 7},
      {"0", 0},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++1", std::nullopt},
      {"-1", std::nullopt},
      {" 64", std::nullopt},
      {"64 ", std::nullopt},
      {"6 4", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"\xD9\xA1", std::nullopt},  // a digit outside ASCII
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_unsigned(text), expected) << '"' << text << '"';
}

TEST(ParseFloat, Table) {
  const std::pair<std::string, std::optional<double>> cases[] = {
      {"0.05", 0.05},
      {"1.0", 1.0},
      {"-2", -2.0},
      {"+3", 3.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"1e3", 1000.0},
      {"1E-3", 0.001},
      {"2.5e+1", 25.0},
      {"inf", kInf},
      {"-Infinity", -kInf},
      {"+INF", kInf},
      {"1e400", kInf},
      {"-1e400", -kInf},
      {"0.00001e314", kInf},
      {"0." + std::string(500, '0') + "1e100", 0.0},  // tiny despite a positive exponent
      {"1" + std::string(400, '0') + "e-100", 1e300},
      {"1e-400", 0.0},
      {"1000e-326", 1e-323},
      {"", std::nullopt},
      {".", std::nullopt},
      {"-", std::nullopt},
      {"e5", std::nullopt},
      {"1e", std::nullopt},
      {"1e+", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"--1", std::nullopt},
      {"1.2.3", std::nullopt},
      {"0x1p3", std::nullopt},
      {"nan(1)", std::nullopt},
      {"infinit", std::nullopt},
      {"1,5", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_float(text), expected) << '"' << text << '"';
}

TEST(ParseFloat, SignsOfZeroAndNaNWords) {
  EXPECT_TRUE(std::signbit(*parse_float("-1e-400")));
  EXPECT_TRUE(std::signbit(*parse_float("-0")));
  for (const char* word : {"nan", "NaN", "-nan", "+NAN"}) EXPECT_TRUE(std::isnan(*parse_float(word))) << word;
}

}  // namespace
}  // namespace kelvra
