#include "fit/total_order.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "fit/fit_test_support.h"

namespace kelvra {
namespace {

using fit_testing::kInf;
using fit_testing::kNaN;

TEST(TotalOrder, SortsEveryKindOfDouble) {
  const double min_subnormal = std::numeric_limits<double>::denorm_min();
  const std::vector<double> ascending = {-kNaN, -kInf, -1e300, -1.0, -min_subnormal, -0.0,
                                         0.0,   min_subnormal, 1.0, 1e300, kInf, kNaN};
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(total_order_less(ascending[i], ascending[j]), i < j) << i << " vs " << j;
    }
  }
}

}  // namespace
}  // namespace kelvra
