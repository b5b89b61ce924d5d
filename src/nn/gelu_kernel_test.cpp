#include "nn/gelu_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "nn/nn_test_support.h"

namespace kelvra {
namespace {

// Both variants against the defining tanh form, over the range where tanh
// saturates, where the exponential clamps, and the non-finite values. Odd
// counts exercise the partial last register.
TEST(GeluKernelTest, EveryVariantMatchesTheTanhForm) {
  std::vector<double> inputs = {0.0, -0.0, 1e-300, -1e-300, 1e-8, -1e-8, 0.5, -0.5, 1.0, -1.0, 3.0, -3.0,
                                -6.0, 8.0, -12.0, 40.0, -40.0, 1e3, -1e3, 1e200, -1e200};
  for (int i = -200; i <= 200; ++i) inputs.push_back(0.0371 * i);
  for (const CpuVariant variant : kAllVariants) {
    if (!supports(variant)) continue;
    SCOPED_TRACE(variant_name(variant));
    for (const std::size_t count : {inputs.size(), inputs.size() - 1, std::size_t{3}, std::size_t{1}}) {
      std::vector<double> values(inputs.begin(), inputs.begin() + static_cast<std::ptrdiff_t>(count));
      gelu_in_place(variant, values.data(), values.size());
      for (std::size_t i = 0; i < count; ++i) {
        const double expected = testing::gelu(inputs[i]);
        // The tanh form itself loses the digits of tanh(z) + 1 for negative
        // z, so the bound has an absolute part of a few ulp of x.
        EXPECT_NEAR(values[i], expected, 4e-15 * std::abs(expected) + 4e-16 * std::abs(inputs[i])) << inputs[i];
        EXPECT_EQ(std::signbit(values[i]), std::signbit(expected)) << inputs[i];
      }
    }
  }
}

TEST(GeluKernelTest, NonFiniteValuesPropagate) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  std::vector<double> values = {NAN, inf, -inf, NAN, 1.0};
  gelu_in_place(values.data(), values.size());
  EXPECT_TRUE(std::isnan(values[0]));
  EXPECT_EQ(values[1], inf);
  EXPECT_TRUE(std::isnan(values[2]));  // -inf * 0, as in the tanh form
  EXPECT_TRUE(std::isnan(values[3]));
  EXPECT_NEAR(values[4], testing::gelu(1.0), 1e-15);
}

}  // namespace
}  // namespace kelvra
