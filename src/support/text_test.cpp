#include "support/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace kelvra {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct NumberCase {
  double x;
  const char* compact;
  const char* debug;
  const char* exponent6;
};

class NumberFormats : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberFormats, WriteEachFormat) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(format_number(c.x), c.compact);
  EXPECT_EQ(format_debug_number(c.x), c.debug);
  EXPECT_EQ(format_exponent6(c.x), c.exponent6);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberFormats,
    testing::Values(NumberCase{0.0, "0", "0.0", "0.000000e0"},                         //
                    NumberCase{-0.0, "-0", "-0.0", "-0.000000e0"},                     //
                    NumberCase{1.0, "1", "1.0", "1.000000e0"},                         //
                    NumberCase{250.0, "250", "250.0", "2.500000e2"},                   //
                    NumberCase{0.001, "0.001", "0.001", "1.000000e-3"},                //
                    NumberCase{0.001234, "0.001234", "0.001234", "1.234000e-3"},       //
                    NumberCase{0.0012345678, "0.0012345678", "0.0012345678", "1.234568e-3"},
                    NumberCase{42.0, "42", "42.0", "4.200000e1"},                      //
                    NumberCase{123456.5, "123456.5", "123456.5", "1.234565e5"},        //
                    NumberCase{0.0001, "0.0001", "0.0001", "1.000000e-4"},             //
                    NumberCase{0.00009, "9e-5", "9e-5", "9.000000e-5"},                //
                    NumberCase{999999.0, "999999", "999999.0", "9.999990e5"},          //
                    NumberCase{1e6, "1e6", "1000000.0", "1.000000e6"},                 //
                    NumberCase{2e6, "2e6", "2000000.0", "2.000000e6"},                 //
                    NumberCase{-1.5e-7, "-1.5e-7", "-1.5e-7", "-1.500000e-7"},         //
                    NumberCase{1e-12, "1e-12", "1e-12", "1.000000e-12"},               //
                    NumberCase{1e16, "1e16", "1e16", "1.000000e16"},                   //
                    NumberCase{1.5e16, "1.5e16", "1.5e16", "1.500000e16"},             //
                    NumberCase{9999999999999998.0, "9.999999999999998e15", "9999999999999998.0",
                               "1.000000e16"},
                    NumberCase{0.1 + 0.2, "0.30000000000000004", "0.30000000000000004", "3.000000e-1"},
                    NumberCase{5e-324, "5e-324", "5e-324", "4.940656e-324"},           //
                    NumberCase{1.7976931348623157e308, "1.7976931348623157e308", "1.7976931348623157e308",
                               "1.797693e308"},
                    NumberCase{kInf, "inf", "inf", "inf"},                             //
                    NumberCase{-kInf, "-inf", "-inf", "-inf"},                         //
                    NumberCase{kNaN, "NaN", "NaN", "NaN"},                             //
                    NumberCase{-kNaN, "NaN", "NaN", "NaN"}));

TEST(NumberFormats, ShortestDigitsReadBack) {
  for (const double x : {0.1, 1.0 / 3.0, 2.0 / 3.0 * 1e-9, 123456.789, 6.02214076e23}) {
    EXPECT_EQ(std::stod(format_number(x)), x) << format_number(x);
    EXPECT_EQ(std::stod(format_debug_number(x)), x) << format_debug_number(x);
  }
}

struct QuoteCase {
  std::string text;
  std::string quoted;
};

class DebugQuoted : public testing::TestWithParam<QuoteCase> {};

TEST_P(DebugQuoted, Escapes) { EXPECT_EQ(debug_quoted(GetParam().text), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(Table, DebugQuoted,
                         testing::Values(QuoteCase{"X", "\"X\""},                                //
                                         QuoteCase{"", "\"\""},                                  //
                                         QuoteCase{"a\"b\\c", "\"a\\\"b\\\\c\""},                //
                                         QuoteCase{"\n\r\t", "\"\\n\\r\\t\""},                   //
                                         QuoteCase{std::string("a\0b", 3), "\"a\\0b\""},         //
                                         QuoteCase{"\x1b\x7f", "\"\\u{1b}\\u{7f}\""},            //
                                         QuoteCase{"\xc2\x85", "\"\\u{85}\""},                   //
                                         QuoteCase{"\xce\xa9\xe2\x82\xac", "\"\xce\xa9\xe2\x82\xac\""},
                                         QuoteCase{"\xff", "\"\xef\xbf\xbd\""}));

struct DecodeCase {
  std::string text;
  std::u32string code_points;
};

class DecodeUtf8 : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8, CodePoints) {
  const auto decoded = decode_utf8(GetParam().text);
  EXPECT_EQ(std::u32string(decoded.begin(), decoded.end()), GetParam().code_points);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeUtf8,
    testing::Values(DecodeCase{"R0", U"R0"},                                        //
                    DecodeCase{"\xce\xa9" "1", U"\u03a9" "1"},                      //
                    DecodeCase{"\xf0\x9f\x94\x8b", U"\U0001F50B"},                  //
                    // Truncated, overlong, surrogate and out-of-range
                    // sequences become one replacement per byte.
                    DecodeCase{"\xe2\x82", U"\uFFFD\uFFFD"},                        //
                    DecodeCase{"\xc0\xaf", U"\uFFFD\uFFFD"},                        //
                    DecodeCase{"\xed\xa0\x80", U"\uFFFD\uFFFD\uFFFD"},              //
                    DecodeCase{"\xf4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},    //
                    DecodeCase{"a\x80" "b", U"a\uFFFD" "b"}));

TEST(IsValidUtf8, AcceptsOnlyWellFormedText) {
  for (const char* text : {"", "R0", "\xce\xa9" "1", "\xf0\x9f\x94\x8b"}) EXPECT_TRUE(is_valid_utf8(text)) << text;
  for (const char* text : {"\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"}) {
    EXPECT_FALSE(is_valid_utf8(text)) << text;
  }
}

TEST(TrimWhitespace, RemovesUnicodeWhiteSpaceAtBothEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {" \t8\n", "8"},
      {"\xc2\xa0" "1 2" "\xe3\x80\x80", "1 2"},  // no-break and ideographic spaces
      {"\xe2\x80\x8b" "1", "\xe2\x80\x8b" "1"},    // a zero-width space is not White_Space
      {"   ", ""},
      {" \xff ", "\xff"},                           // a malformed byte is kept
  };
  for (const auto& [text, trimmed] : cases) EXPECT_EQ(trim_whitespace(text), trimmed) << text;
}

}  // namespace
}  // namespace kelvra
