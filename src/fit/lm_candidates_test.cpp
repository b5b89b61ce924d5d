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

TEST(EarlyStopRules, TheDefaultIsThePlainMultiStartFit) { 
  EXPECT_EQ(kEarlyStopRules.front().stop.settle_window, 0u);
  EXPECT_FALSE(kEarlyStopRules.front().stop.join_paths);
  EXPECT_EQ(kEarlyStopRules.front().stop.lag_window, 0u);
 }

}  // namespace
}  // namespace kelvra
