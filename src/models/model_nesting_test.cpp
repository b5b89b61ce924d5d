#include "models/model_nesting.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "circuit/grammar.h"

namespace kelvra {
namespace {

std::vector<std::string> nested_names(std::string_view model) {
  for (std::size_t m = 0; m < kModelCount; ++m) {
    if (MODELS[m].name != model) continue;
    std::vector<std::string> names;
    for (std::size_t inner : nested_models()[m]) names.emplace_back(MODELS[inner].name);
    return names;
  }
  ADD_FAILURE() << "no model " << model;
  return {};
}

// Worked out by hand from the topologies: which shorted elements and which
// exponents at 1 turn one model into another.
TEST(ModelNesting, DerivedTableMatchesTheLimitsWorkedOutByHand) {
  const std::map<std::string, std::vector<std::string>> expected = {
      {"rc", {}},
      {"rc_l", {"rc"}},
      {"rq", {"rc"}},
      {"rq_l", {"rc", "rc_l", "rq"}},
      {"two_rc", {"rc"}},
      {"two_rc_l", {"rc", "rc_l", "two_rc"}},
      {"two_rq", {"rc", "rq", "two_rc"}},
      {"two_rq_l", {"rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq"}},
      {"randles", {"rc", "rq"}},
      {"sei_randles", {"rc", "rq", "two_rc", "two_rq", "randles"}},
      // A finite-length Warburg is not the semi-infinite one of randles.
      {"sei_randles_wo", {"rc", "rq", "two_rc", "two_rq"}},
  };
  ASSERT_EQ(expected.size(), kModelCount);
  for (const auto& [model, names] : expected) EXPECT_EQ(nested_names(model), names) << model;
}

struct ShapeCase {
  const char* circuit;
  const char* shape;
  std::size_t reachable;
};

class Shapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, LabelsAreLeftOutAndEveryLimitIsFollowed) {
  const Series tree = parse(GetParam().circuit).value();
  EXPECT_EQ(shape_text(tree), GetParam().shape);
  const std::vector<std::string> reached = reduced_shapes(tree);
  EXPECT_EQ(reached.front(), GetParam().shape);
  EXPECT_EQ(reached.size(), GetParam().reachable);
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, Shapes,
    ::testing::Values(
        // A capacitor alone has no limit.
        ShapeCase{"C5", "C", 1},
        // R-C, R-(empty series): R shorted leaves C; nothing shorts C.
        ShapeCase{"R1-C2", "R-C", 2},
        // The group shorts with R1; R0 alone, the group alone, and nothing.
        ShapeCase{"R0-(R1,C1)", "R-(R,C)", 4},
        // CPE to C as well: R-(R,CPE), R-(R,C), (R,CPE), (R,C), R, empty.
        ShapeCase{"R0-(R1,CPE1)", "R-(R,CPE)", 6},
        // A leaf inside a branch series is shorted within its branch.
        ShapeCase{"(R1-W1,C1)", "(R-W,C)", 4}));

}  // namespace
}  // namespace kelvra
