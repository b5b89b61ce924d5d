#include "fit/global/search_frame.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace kelvra {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BestSoFar, KeepsTheRulesOrder) {
  // Costs offered in turn at points {0}, {1}, ...; the expected best index.
  const std::vector<std::pair<std::vector<double>, std::optional<double>>> table = {
      {{kNaN}, std::nullopt},          // NaN never becomes best
      {{kNaN, 5.0, kNaN}, 1.0},        //
      {{kInf}, 0.0},                   // a first +inf is a best
      {{kInf, kInf}, 1.0},             // and is replaced by a later +inf
      {{kInf, 7.0, kInf}, 1.0},        // but not after a finite one
      {{3.0, 3.0}, 0.0},               // ties keep the earlier point
      {{3.0, 1.0, 2.0, -kInf}, 3.0}};
  for (const auto& [costs, expected] : table) {
    BestSoFar best;
    for (std::size_t i = 0; i < costs.size(); ++i) best.offer(std::vector<double>{static_cast<double>(i)}, costs[i]);
    const std::optional<std::vector<double>> point = best.point();
    ASSERT_EQ(point.has_value(), expected.has_value());
    if (expected) {
      EXPECT_EQ((*point)[0], *expected);
    }
  }
}

}  // namespace
}  // namespace kelvra
