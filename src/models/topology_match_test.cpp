#include "models/topology_match.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "circuit/grammar.h"
#include "models/registry.h"

namespace kelvra {
namespace {

Series tree(std::string_view text) { return parse(text).value(); }

TEST(Canonical, IgnoresOrderAndLabels) {
  const CanonicalForm model = canonical(tree("R0-(R1,C1)"));
  EXPECT_EQ(model.key, "[([C],[R]),R]");
  const std::vector<std::pair<std::size_t, std::size_t>> model_spans = {{2, 1}, {1, 1}, {0, 1}};
  ASSERT_EQ(model.spans.size(), model_spans.size());
  for (std::size_t i = 0; i < model_spans.size(); ++i) {
    EXPECT_EQ(model.spans[i].start, model_spans[i].first);
    EXPECT_EQ(model.spans[i].count, model_spans[i].second);
  }
  const CanonicalForm user = canonical(tree("(R5,C2)-R3"));
  EXPECT_EQ(user.key, model.key);
  const std::vector<std::size_t> user_starts = {1, 0, 2};
  for (std::size_t i = 0; i < user_starts.size(); ++i) EXPECT_EQ(user.spans[i].start, user_starts[i]);
}

struct TopologyCase {
  std::string circuit;
  std::optional<std::string> model;  // none: no built-in model serves it
  std::vector<std::size_t> permutation;
  bool expanded;
};

class FindForTopology : public testing::TestWithParam<TopologyCase> {};

TEST_P(FindForTopology, PairsEveryParameterWithItsOutput) {
  const TopologyCase& c = GetParam();
  const auto found = find_for_topology(tree(c.circuit));
  if (!c.model) {
    EXPECT_FALSE(found.has_value()) << c.circuit << " matched " << found->model->name;
    return;
  }
  ASSERT_TRUE(found.has_value()) << c.circuit;
  EXPECT_EQ(found->model->name, *c.model) << c.circuit;
  EXPECT_EQ(found->match.permutation, c.permutation) << c.circuit;
  EXPECT_EQ(found->match.expanded, c.expanded) << c.circuit;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FindForTopology,
    testing::Values(
        TopologyCase{"R0-(R1,C1)", "rc", {0, 1, 2}, false},
        TopologyCase{"(R1,C2)-R3", "rc", {1, 2, 0}, false},
        TopologyCase{"R0-(C1,R1)", "rc", {0, 2, 1}, false},
        TopologyCase{"R0-p(R1,C1)", "rc", {0, 1, 2}, false},
        TopologyCase{"R0-(R1,C1,L1)", std::nullopt, {}, false},
        TopologyCase{"C1-R0", std::nullopt, {}, false},
        TopologyCase{"R0-(R1,CPE1)-(R2,C2)", std::nullopt, {}, false},
        // Identical groups pair up in written order whatever their labels.
        TopologyCase{"R0-(R7,C7)-(R3,C3)", "two_rc", {0, 1, 2, 3, 4}, false},
        TopologyCase{"(R3,C3)-R0-(C7,R7)", "two_rc", {1, 2, 0, 4, 3}, false},
        TopologyCase{"R0-(R1,CPE1)-(W2-R2,CPE2)", "sei_randles", {0, 1, 2, 3, 5, 4, 6, 7}, false},
        TopologyCase{"(CPE2,Wo2-R2)-R0-(R1,CPE1)", "sei_randles_wo", {7, 8, 5, 6, 4, 0, 1, 2, 3}, false},
        TopologyCase{"L0-R0-(R1,C1)", "rc_l", {0, 1, 2, 3}, false},
        TopologyCase{"R0-L0-(R1,C1)", "rc_l", {1, 0, 2, 3}, false},
        // K and Zarc match through the pairs they abbreviate; the
        // permutation is over the expanded circuit's parameters.
        TopologyCase{"R0-K1", "rc", {0, 1, 2}, true},
        TopologyCase{"K1-R0", "rc", {1, 2, 0}, true},
        TopologyCase{"R0-Zarc1", "rq", {0, 1, 2, 3}, true},
        TopologyCase{"R0-K1-K2", "two_rc", {0, 1, 2, 3, 4}, true},
        TopologyCase{"L0-R0-Zarc1-Zarc2", "two_rq_l", {0, 1, 2, 3, 4, 5, 6, 7}, true},
        TopologyCase{"R0-(R1,CPE1)-K2", std::nullopt, {}, false}));

TEST(MatchOrExpand, NoExpansionNoRetry) {
  EXPECT_FALSE(match_or_expand(tree("R0-(R1,C1)"), tree("R0-C1")).has_value());
  EXPECT_FALSE(match_or_expand(tree("R0-(R1,CPE1)"), tree("R0-K1")).has_value());
}

}  // namespace
}  // namespace kelvra
