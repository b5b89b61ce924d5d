#include "fit/lm_candidates.h"

#include <gtest/gtest.h>

#include <vector>

#include "fit/fit_test_support.h"

namespace kelvra {
namespace {

using fit_testing::kInf;
using fit_testing::kNaN;

TEST(CandidateStartingPoints, ScalesOpenAndSpreadsBoundedParameters) {
  // An open parameter at 0 on a lower bound of 0, an ordinary open one and
  // a bounded one.
  const std::vector<Bounds> bounds = {{0.0, kInf}, {1e-12, kInf}, {0.0, 1.0}};
  const std::vector<double> p0 = {0.0, 2.0, 0.5};
  const std::vector<std::vector<double>> expected = {
      {0.0, 2.0, 0.5},       {0.0, 6.0, 0.5}, {0.0, 2.0 / 3.0, 0.5}, {0.0, 16.0, 0.5}, {0.0, 0.25, 0.5},
      {0.0, 2.0, 0.2},       {0.0, 2.0, 0.4}, {0.0, 2.0, 0.6},       {0.0, 2.0, 0.8},
  };
  const std::vector<std::vector<double>> candidates = candidate_starting_points(p0, bounds);
  ASSERT_EQ(candidates.size(), expected.size());
  for (std::size_t c = 0; c < expected.size(); ++c) {
    for (std::size_t j = 0; j < p0.size(); ++j) EXPECT_DOUBLE_EQ(candidates[c][j], expected[c][j]) << c << "," << j;
  }
}

TEST(IsPlausible, BoundsMarginsAndRatiosToStart) {
  const std::vector<Bounds> bounds = {{1e-12, kInf}, {0.0, 1.0}};
  const std::vector<double> p0 = {10.0, 0.5};
  struct Case {
    std::vector<double> params;
    double cost;
    bool success;
    bool plausible;
  };
  const std::vector<Case> cases = {
      {{10.0, 0.5}, 1.0, true, true},
      {{10.0, 0.5}, 1.0, false, false},
      {{10.0, 0.5}, kNaN, true, false},
      {{10.0, 0.5}, kInf, true, false},
      {{10.0 * 1e-6, 0.5}, 1.0, true, true},            // ratio exactly 1e-6 is inside
      {{10.0 * 0.9e-6, 0.5}, 1.0, true, false},
      {{10.0 * 1e6, 0.5}, 1.0, true, false},            // ratio 1e6 is outside
      {{10.0 * 0.99e6, 0.5}, 1.0, true, true},
      {{1e-10, 0.5}, 1.0, true, false},                 // not above 100 lo
      {{10.0, 1e-6}, 1.0, true, false},                 // within the margin of lo
      {{10.0, 1.1e-6}, 1.0, true, true},
      {{10.0, 1.0 - 0.9e-6}, 1.0, true, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(is_plausible(c.params, c.cost, c.success, p0, bounds), c.plausible) << "case " << i;
  }
}

TEST(SameResult, BoundSidesVerdictCostToleranceAndStarts) {
  const std::vector<Bounds> bounds = {{1e-12, kInf}, {0.0, 1.0}};
  const std::vector<double> start = {10.0, 0.2};
  struct Case {
    std::vector<double> params;
    double cost;
    bool success;
    std::vector<double> start;
    bool same;  // as the reference: exponent on its upper bound from 0.5, cost 2, converged
  };
  const std::vector<Case> cases = {
      {{10.0, 1.0}, 2.0, true, start, true},
      {{20.0, 1.0}, 2.0 * (1.0 + 0.9e-6), true, start, true},  // other values, cost within the tolerance
      {{10.0, 1.0 - 0.5e-6}, 2.0, true, start, true},           // within the margin of the bound
      {{10.0, 1.0}, 2.0, true, {30.0, 0.5}, false},             // the exponent started where the reference's did
      {{10.0, 1.0}, 2.0 * (1.0 + 2e-6), true, start, false},
      {{10.0, 0.99}, 2.0, true, start, false},                  // off the bound
      {{10.0, 0.0}, 2.0, true, start, false},                   // the other bound
      {{1e-12, 1.0}, 2.0, true, start, false},                  // an open parameter on its floor
      {{10.0, 1.0}, 2.0, false, start, false},
      {{10.0, 1.0}, kNaN, true, start, false},
  };
  const ResultSignature reference = result_signature(std::vector{10.0, 1.0}, 2.0, true, bounds, std::vector{10.0, 0.5});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const ResultSignature signature = result_signature(c.params, c.cost, c.success, bounds, c.start);
    EXPECT_EQ(same_result(signature, reference), c.same) << "case " << i;
    EXPECT_EQ(same_result(reference, signature), c.same) << "case " << i;
  }
  const ResultSignature nan = result_signature(std::vector{10.0, 1.0}, kNaN, true, bounds, start);
  EXPECT_FALSE(same_result(nan, nan));
}

TEST(ImplausibleOnlyOnBounds, OpenParametersMustPassAndTheFitMustHaveConverged) {
  const std::vector<Bounds> bounds = {{1e-12, kInf}, {0.0, 1.0}};
  const std::vector<double> p0 = {10.0, 0.5};
  struct Case {
    std::vector<double> params;
    double cost;
    bool success;
    bool only_on_bounds;
  };
  const std::vector<Case> cases = {
      {{10.0, 1.0}, 1.0, true, true},    // the exponent on its bound
      {{10.0, 0.5}, 1.0, true, true},    // nothing wrong at all
      {{1e-11, 1.0}, 1.0, true, false},  // an open parameter collapsed to its floor
      {{1e8, 1.0}, 1.0, true, false},    // ... or run off from its start
      {{10.0, 1.0}, 1.0, false, false},
      {{10.0, 1.0}, kNaN, true, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(implausible_only_on_bounds(c.params, c.cost, c.success, p0, bounds), c.only_on_bounds) << "case " << i;
  }
}

TEST(EarlyStopNamed, EveryRuleByItsNameAndNothingElse) {
  for (const EarlyStopRule& rule : kEarlyStopRules) EXPECT_EQ(early_stop_named(rule.name), rule.starts);
  EXPECT_EQ(kEarlyStopRules.front().starts, LmStarts::UntilPlausible);
  EXPECT_FALSE(early_stop_named("Repeat").has_value());
  EXPECT_FALSE(early_stop_named("").has_value());
}

}  // namespace
}  // namespace kelvra
