#include "circuit/grammar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "circuit/format.h"
#include "circuit/params.h"

namespace kelvra {
namespace {

// The tree as text with its leaf labels, the form every shape check uses.
std::string shape(const Series& series) { return format_series(series, leaf_labels(series)).value(); }

std::string nested(std::size_t depth, std::string_view opener) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += opener;
  text += "R1";
  return text + std::string(depth, ')');
}

struct BadCircuit {
  std::string text;
  std::string message;
};

class ParseFailures : public testing::TestWithParam<BadCircuit> {};

TEST_P(ParseFailures, ReportTheFirstError) {
  const auto parsed = parse(GetParam().text);
  ASSERT_FALSE(parsed.ok()) << GetParam().text;
  EXPECT_EQ(display(parsed.error()), GetParam().message) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFailures,
    testing::Values(BadCircuit{"", "unexpected end of input"},                             //
                    BadCircuit{"R0-", "unexpected end of input"},                          //
                    BadCircuit{"(R1,C1", "unexpected end of input"},                       //
                    BadCircuit{"(R1 C1)", "unexpected end of input"},                      //
                    BadCircuit{"(R1;C1)", "unexpected end of input"},                      //
                    BadCircuit{" R0", "unexpected character at position 0"},               //
                    BadCircuit{"R0 ", "unexpected trailing input at position 2"},          //
                    BadCircuit{"R", "unexpected character at position 1"},                 //
                    BadCircuit{"R0-C", "unexpected character at position 4"},              //
                    BadCircuit{"()", "unexpected character at position 1"},                //
                    BadCircuit{"R0-(R1,)", "unexpected character at position 7"},          //
                    BadCircuit{"R0--R1", "unexpected character at position 3"},            //
                    BadCircuit{"12", "unexpected character at position 0"},                //
                    BadCircuit{"\xce\xa9" "1", "unexpected character at position 0"},      //
                    BadCircuit{"R0-\xce\xa9", "unexpected character at position 3"},       //
                    BadCircuit{"X", "unexpected character at position 1"},                 //
                    BadCircuit{"X1-R0", "unknown element code \"X\" at position 0"},       //
                    BadCircuit{"R0-RC1", "unknown element code \"RC\" at position 3"},     //
                    BadCircuit{"R1-r1", "unknown element code \"r\" at position 3"},       //
                    BadCircuit{"cpe1", "unknown element code \"cpe\" at position 0"},      //
                    BadCircuit{"ZARC1", "unknown element code \"ZARC\" at position 0"},    //
                    BadCircuit{"TLmq1", "unknown element code \"TLmq\" at position 0"},    //
                    BadCircuit{"pR1", "unknown element code \"pR\" at position 0"},        //
                    BadCircuit{"R0C1", "unexpected trailing input at position 2"},         //
                    BadCircuit{"R0)", "unexpected trailing input at position 2"},          //
                    BadCircuit{"R0,R1", "unexpected trailing input at position 2"},        //
                    BadCircuit{"R0-P(R1,C1)", "unexpected character at position 4"},       //
                    BadCircuit{"R1-(R1,C1)", "duplicate element label \"R1\""},            //
                    BadCircuit{"R0-(R1,(C1,R0))", "duplicate element label \"R0\""},       //
                    BadCircuit{nested(kMaxNestingDepth + 1, "("),
                               "groups nested deeper than 1000 at position 1000"},
                    BadCircuit{nested(kMaxNestingDepth + 1, "p("),
                               "groups nested deeper than 1000 at position 2001"}));

TEST(Parse, HostileNestingIsRefusedWithoutExhaustingTheStack) {
  const std::string text(1'000'000, '(');
  const auto parsed = parse(text);
  ASSERT_FALSE(parsed.ok());
  EXPECT_TRUE(std::holds_alternative<NestingTooDeep>(parsed.error()));
}

TEST(Parse, DeepestAllowedNestingParses) {
  const auto parsed = parse(nested(kMaxNestingDepth, "("));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(nesting_depth(parsed.value()), kMaxNestingDepth);
  EXPECT_EQ(param_count(parsed.value()), 1u);
}

struct GoodCircuit {
  std::string text;
  std::string formatted;
  std::vector<Kind> kinds;
};

class ParseShapes : public testing::TestWithParam<GoodCircuit> {};

TEST_P(ParseShapes, LeavesAndShape) {
  const auto parsed = parse(GetParam().text);
  ASSERT_TRUE(parsed.ok()) << display(parsed.error());
  EXPECT_EQ(shape(parsed.value()), GetParam().formatted);
  std::vector<Kind> kinds;
  for (const LeafRef& leaf : collect_leaves(parsed.value())) {
    kinds.push_back(leaf.element->kind);
    EXPECT_EQ(leaf.element->params, info(leaf.element->kind).defaults);
  }
  EXPECT_EQ(kinds, GetParam().kinds);
  // Formatting with the leaf labels gives text that parses to the same thing.
  EXPECT_EQ(shape(parse(GetParam().formatted).value()), GetParam().formatted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseShapes,
    testing::Values(GoodCircuit{"R0", "R0", {Kind::R}},
                    GoodCircuit{"R0-(R1,C1)", "R0-(R1,C1)", {Kind::R, Kind::R, Kind::C}},
                    GoodCircuit{"R0-p(R1,C1)", "R0-(R1,C1)", {Kind::R, Kind::R, Kind::C}},
                    GoodCircuit{"(R1)", "(R1)", {Kind::R}},
                    GoodCircuit{"p(p(R1))", "((R1))", {Kind::R}},
                    GoodCircuit{"R0-(R1-(R2,C2),C1)", "R0-(R1-(R2,C2),C1)", {Kind::R, Kind::R, Kind::R, Kind::C, Kind::C}},
                    GoodCircuit{"L0-R0-p(R1,CPE1)", "L0-R0-(R1,CPE1)", {Kind::L, Kind::R, Kind::R, Kind::Cpe}},
                    GoodCircuit{"CPE1-Cpe1-Tlmq2-TLMQ2", "CPE1-Cpe1-Tlmq2-TLMQ2", {Kind::Cpe, Kind::Cpe, Kind::Tlmq, Kind::Tlmq}},
                    GoodCircuit{"R007-La12-Zarc3-T4", "R007-La12-Zarc3-T4", {Kind::R, Kind::La, Kind::Zarc, Kind::T}}));

TEST(ParseErrorReport, PositionedErrorShowsACaret) {
  const std::string expected =
      "unknown element code \"X\" at position 3\n"
      "\n"
      "  R0-X1\n"
      "     ^\n"
      "\n"
      "syntax:\n"
      "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
      "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
      "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\"\n"
      "\n"
      "available elements (code, parameters, [units]):\n"
      "  R     r [ohm]\n"
      "  C     c [F]\n"
      "  L     l [H]\n"
      "  La    l [H*s], alpha [-]\n"
      "  CPE   q [ohm^-1*s^alpha], alpha [-]\n"
      "  W     aw [ohm*s^-0.5]\n"
      "  Wo    z0 [ohm], tau [s]\n"
      "  Ws    z0 [ohm], tau [s]\n"
      "  G     rg [ohm], tg [s]\n"
      "  Gs    rg [ohm], tg [s], phi [-]\n"
      "  K     r [ohm], tau_k [s]\n"
      "  Zarc  r [ohm], tau_k [s], gamma [-]\n"
      "  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]\n"
      "  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]";
  EXPECT_EQ(parse_error_report("R0-X1", parse("R0-X1").error()), expected);
}

void expect_report_starts_with(std::string_view text, const ParseError& error, const std::string& prefix) {
  const std::string report = parse_error_report(text, error);
  EXPECT_EQ(report.substr(0, prefix.size()), prefix);
}

TEST(ParseErrorReport, CaretCountsCodePointsAndSkipsUnpositionedErrors) {
  expect_report_starts_with("\xce\xa9\xce\xa9-\xce\xa9", UnexpectedChar{4},
                            "unexpected character at position 4\n\n  \xce\xa9\xce\xa9-\xce\xa9\n      ^\n\nsyntax:\n");
  expect_report_starts_with("R0-", UnexpectedEnd{}, "unexpected end of input\n\nsyntax:\n");
  expect_report_starts_with("R1-R1", DuplicateLabel{"R1"}, "duplicate element label \"R1\"\n\nsyntax:\n");
  const std::string deep = nested(kMaxNestingDepth + 1, "(");
  expect_report_starts_with(deep, parse(deep).error(),
                            "groups nested deeper than 1000 at position 1000\n\n  " + deep + "\n  " +
                                std::string(kMaxNestingDepth, ' ') + "^\n\nsyntax:\n");
}

Series leaves(std::vector<Leaf> items) {
  Series series;
  for (Leaf& leaf : items) series.push_back(Node{std::move(leaf)});
  return series;
}

TEST(LeafLabels, DefaultsCountPerKindAndIgnoreExplicitLabels) {
  const Element r = *default_for_code("R");
  const Element c = *default_for_code("C");
  const Series unlabelled = leaves({{r, {}}, {c, {}}, {r, {}}, {r, {}}});
  EXPECT_EQ(leaf_labels(unlabelled), (std::vector<std::string>{"R0", "C0", "R1", "R2"}));

  const Series mixed = leaves({{r, "R0"}, {r, {}}});
  EXPECT_EQ(leaf_labels(mixed), (std::vector<std::string>{"R0", "R0"}));

  Series grouped = leaves({{c, {}}});
  grouped.emplace_back().value.emplace<ParallelGroup>(
      ParallelGroup{{leaves({{r, {}}}), leaves({{c, "C7"}, {c, {}}})}});
  EXPECT_EQ(leaf_labels(grouped), (std::vector<std::string>{"C0", "R0", "C7", "C1"}));
}

TEST(FormatSeries, WritesEmptyShapesAndNeedsOneLabelPerLeaf) {
  EXPECT_EQ(format_series({}, {}).value(), "");
  const Series empty_group{Node{ParallelGroup{}}};
  EXPECT_EQ(format_series(empty_group, {}).value(), "()");
  const Series circuit = parse("R0-(R1,C1)").value();
  const std::vector<std::string> too_few{"A", "B"};
  const auto formatted = format_series(circuit, too_few);
  ASSERT_FALSE(formatted.ok());
  EXPECT_EQ(formatted.error(), "one label per leaf");
}

TEST(ExpandSeries, ZarcBecomesResistorParallelConstantPhase) {
  const Series circuit = rebuild(parse("R0-Zarc1").value(), std::vector<double>{5.0, 2.0, 0.01, 0.5});
  bool expanded = false;
  const Series out = expand_series(circuit, expanded);
  EXPECT_TRUE(expanded);
  EXPECT_EQ(shape(out), "R0-(R0,Cpe0)");
  const auto leaves_out = collect_leaves(out);
  ASSERT_EQ(leaves_out.size(), 3u);
  EXPECT_EQ(*leaves_out[0].label, "R0");
  EXPECT_FALSE(leaves_out[1].label->has_value());
  EXPECT_FALSE(leaves_out[2].label->has_value());
  EXPECT_EQ(param_values(out), (std::vector<double>{5.0, 2.0, 0.05, 0.5}));
}

TEST(ExpandSeries, KInsideAGroupBecomesResistorParallelCapacitor) {
  const Series circuit = rebuild(parse("R0-(K1,C1)").value(), std::vector<double>{1.0, 4.0, 0.02, 3.0});
  bool expanded = false;
  const Series out = expand_series(circuit, expanded);
  EXPECT_TRUE(expanded);
  EXPECT_EQ(shape(out), "R0-((R0,C0),C1)");
  EXPECT_EQ(param_values(out), (std::vector<double>{1.0, 4.0, 0.005, 3.0}));
}

TEST(ExpandSeries, LeavesTheFlagAloneWhenNothingExpands) {
  const Series circuit = parse("R0-(R1,CPE1)").value();
  for (const bool initial : {false, true}) {
    bool expanded = initial;
    EXPECT_EQ(shape(expand_series(circuit, expanded)), "R0-(R1,CPE1)");
    EXPECT_EQ(expanded, initial);
  }
}

}  // namespace
}  // namespace kelvra
