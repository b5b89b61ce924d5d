#include "circuit/params.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "circuit/grammar.h"

namespace kelvra {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Series circuit(std::string_view text) { return parse(text).value(); }

TEST(ParamVector, NamesUnitsBoundsAndValuesRunInLeafOrder) {
  const Series wo = circuit("R0-(R1,C1)-Wo2");
  EXPECT_EQ(param_count(wo), 5u);
  EXPECT_EQ(param_names(wo), (std::vector<std::string>{"R0.r", "R1.r", "C1.c", "Wo2.z0", "Wo2.tau"}));
  EXPECT_EQ(param_units(wo), (std::vector<std::string>{"ohm", "ohm", "F", "ohm", "s"}));
  EXPECT_EQ(param_values(wo), (std::vector<double>{1.0, 1.0, 0.001, 1.0, 10.0}));

  const Series cpe = circuit("R0-(R1,CPE1)");
  const std::vector<Bounds> bounds = param_bounds(cpe);
  const std::vector<Bounds> expected{{1e-12, kInf}, {1e-12, kInf}, {1e-12, kInf}, {0.0, 1.0}};
  ASSERT_EQ(bounds.size(), expected.size());
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    EXPECT_EQ(bounds[i].lo, expected[i].lo);
    EXPECT_EQ(bounds[i].hi, expected[i].hi);
  }
  EXPECT_EQ(param_count(Series{}), 0u);
  EXPECT_TRUE(param_names(Series{}).empty());
}

TEST(WithValues, RebuildsSameShapeAndLabelsOrReportsTheCount) {
  const Series cpe = circuit("R0-(R1,CPE1)");
  const std::vector<double> three{1.0, 2.0, 3.0};
  const auto short_result = with_values(cpe, three);
  ASSERT_FALSE(short_result.ok());
  EXPECT_EQ(short_result.error(), "expected 4 values, got 3");

  // Values outside the bounds are accepted as given.
  const std::vector<double> four{5.0, -6.0, 7e-5, 2.0};
  const auto rebuilt = with_values(cpe, four);
  ASSERT_TRUE(rebuilt.ok());
  EXPECT_EQ(param_values(rebuilt.value()), four);
  EXPECT_EQ(param_names(rebuilt.value()), param_names(cpe));
}

using Mapping = std::vector<std::pair<std::string, double>>;

TEST(WithNamedValues, AllNamesGivenRebuildsByName) {
  const Mapping mapping{{"C1.c", 3.0}, {"R0.r", 1.0}, {"R1.r", 2.0}};
  const auto rebuilt = with_named_values(circuit("R0-(R1,C1)"), mapping);
  ASSERT_TRUE(rebuilt.ok());
  EXPECT_EQ(param_values(rebuilt.value()), (std::vector<double>{1.0, 2.0, 3.0}));
}

constexpr const char* kRcParameterLines =
    "\n"
    "valid parameters for this circuit:\n"
    "  R0.r  [ohm]  bounds (1e-12, inf)\n"
    "  R1.r  [ohm]  bounds (1e-12, inf)\n"
    "  C1.c  [F]  bounds (1e-12, inf)";

struct NamedCase {
  const char* name;
  Mapping mapping;
  std::string first_lines;  // everything before the parameter listing
};

class WithNamedValuesErrors : public testing::TestWithParam<NamedCase> {};

TEST_P(WithNamedValuesErrors, Message) {
  const auto result = with_named_values(circuit("R0-(R1,C1)"), GetParam().mapping);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), GetParam().first_lines + kRcParameterLines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WithNamedValuesErrors,
    testing::Values(
        NamedCase{"CaseDiffers",
                  {{"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.C", 1.0}},
                  "unknown parameter \"C1.C\" (did you mean \"C1.c\"?)\nmissing parameter(s): [\"C1.c\"]\n"},
        NamedCase{"TooFarForASuggestion", {{"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.c", 1.0}, {"xyz", 1.0}},
                  "unknown parameter \"xyz\"\n"},
        NamedCase{"OnlyMissing", {{"R0.r", 1.0}}, "missing parameter(s): [\"R1.r\", \"C1.c\"]\n"},
        // Five code points: threshold 2; R0.r and R1.r tie at 2, the
        // earlier one wins.
        NamedCase{"TieGoesToTheEarlierName", {{"R9.rx", 1.0}, {"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.c", 1.0}},
                  "unknown parameter \"R9.rx\" (did you mean \"R0.r\"?)\n"},
        NamedCase{"ShortKeyBeyondTwo", {{"Xa.rx", 1.0}, {"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.c", 1.0}},
                  "unknown parameter \"Xa.rx\"\n"},
        // Eight code points: threshold 4, reached exactly.
        NamedCase{"LongKeyAtHalfItsLength",
                  {{"R0.rxxxx", 1.0}, {"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.c", 1.0}},
                  "unknown parameter \"R0.rxxxx\" (did you mean \"R0.r\"?)\n"},
        NamedCase{"LongKeyBeyondHalfItsLength",
                  {{"R0.rxxxxx", 1.0}, {"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.c", 1.0}},
                  "unknown parameter \"R0.rxxxxx\"\n"},
        // Eight code points but sixteen bytes: the threshold counts code
        // points, so the distance 4 is still close enough.
        NamedCase{"ThresholdCountsCodePoints",
                  {{"R0.r\xce\xa9\xce\xa9\xce\xa9\xce\xa9", 1.0}, {"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.c", 1.0}},
                  "unknown parameter \"R0.r\xce\xa9\xce\xa9\xce\xa9\xce\xa9\" (did you mean \"R0.r\"?)\n"},
        NamedCase{"KeysAreDebugQuoted", {{"a\"\n", 1.0}, {"R0.r", 1.0}, {"R1.r", 1.0}, {"C1.c", 1.0}},
                  "unknown parameter \"a\\\"\\n\"\n"}),
    [](const testing::TestParamInfo<NamedCase>& info) { return std::string(info.param.name); });

TEST(WithNamedValues, CircuitWithoutParametersListsNothing) {
  const Mapping mapping{{"R0.r", 1.0}};
  const auto result = with_named_values(Series{}, mapping);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "unknown parameter \"R0.r\"\n\nvalid parameters for this circuit:");
}

TEST(WithNamedValues, NamesArePaddedToTheLongest) {
  const Mapping mapping{};
  const auto result = with_named_values(circuit("R0-Wo12"), mapping);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(),
            "missing parameter(s): [\"R0.r\", \"Wo12.z0\", \"Wo12.tau\"]\n"
            "\n"
            "valid parameters for this circuit:\n"
            "  R0.r      [ohm]  bounds (1e-12, inf)\n"
            "  Wo12.z0   [ohm]  bounds (1e-12, inf)\n"
            "  Wo12.tau  [s]  bounds (1e-12, inf)");
}

struct DistanceCase {
  const char* key;
  const char* name;
  std::size_t distance;
};

class ClosestParamName : public testing::TestWithParam<DistanceCase> {};

TEST_P(ClosestParamName, LevenshteinOverCodePoints) {
  EXPECT_EQ(closest_param_name(GetParam().key, GetParam().name), GetParam().distance);
  EXPECT_EQ(closest_param_name(GetParam().name, GetParam().key), GetParam().distance);
}

INSTANTIATE_TEST_SUITE_P(Table, ClosestParamName,
                         testing::Values(DistanceCase{"", "", 0}, DistanceCase{"", "abc", 3},
                                         DistanceCase{"kitten", "sitting", 3}, DistanceCase{"C1.C", "C1.c", 1},
                                         DistanceCase{"R0.r", "R0.r", 0}, DistanceCase{"\xce\xa9", "O", 1},
                                         DistanceCase{"\xce\xa9\xce\xa9", "\xce\xa9", 1},
                                         DistanceCase{"flaw", "lawn", 2}));

}  // namespace
}  // namespace kelvra
