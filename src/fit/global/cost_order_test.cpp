#include "fit/global/cost_order.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "fit/fit_test_support.h"

namespace kelvra {
namespace {

using fit_testing::kInf;
using fit_testing::kNaN;

struct Item {
  int id;
  double cost;
};

TEST(SortByCost, IsStableAndNeverCrossesNaN) {
  const std::vector<std::pair<std::vector<double>, std::vector<int>>> table = {
      {{2.0, kInf, 1.0, 1.0}, {2, 3, 0, 1}},       // equal costs keep their order, +inf last
      {{3.0, kNaN, 1.0, 2.0, 1.0}, {0, 1, 2, 4, 3}},  // NaN is a barrier in both directions
      {{kNaN, 2.0, 1.0}, {0, 2, 1}},
  };
  for (const auto& [costs, expected] : table) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < costs.size(); ++i) items.push_back({static_cast<int>(i), costs[i]});
    sort_by_cost(items, [](const Item& item) { return item.cost; });
    std::vector<int> order;
    for (const Item& item : items) order.push_back(item.id);
    EXPECT_EQ(order, expected);
  }
}

}  // namespace
}  // namespace kelvra
