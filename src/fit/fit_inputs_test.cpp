#include "fit/fit_inputs.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fit/fit_test_support.h"

namespace kelvra {
namespace {

TEST(CheckFitInputs, ReportsInOrder) {
  const Series rc = fit_testing::circuit_of("R0-(R1,C1)");
  const Complex z{1.0, 0.0};
  struct Case {
    Spectrum spectrum;
    Series circuit;
    std::optional<std::string> message;
  };
  const std::vector<Case> table = {
      {{{1.0, 2.0}, {z}}, Series{}, "frequencies and impedances must have the same length"},
      {{{}, {}}, Series{}, "frequencies and impedances must not be empty"},
      {{{1.0}, {z}}, Series{}, "circuit topology has no parameters to fit"},
      {{{1.0}, {z}}, rc, std::nullopt},
  };
  for (const Case& c : table) {
    const std::optional<FitError> error = check_fit_inputs(c.circuit, c.spectrum);
    ASSERT_EQ(error.has_value(), c.message.has_value());
    if (error) {
      EXPECT_EQ(display(*error), *c.message);
    }
  }
}

}  // namespace
}  // namespace kelvra
