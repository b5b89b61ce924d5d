#include "fit/lm/lm_solver.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace kelvra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(LmSettingsCheck, RejectsSignBitSetTolerancesInOrder) {
  struct Case {
    double ftol, xtol, gtol;
    std::optional<std::string> message;
  };
  const std::vector<Case> cases = {
      {0.0, 0.0, 0.0, std::nullopt},
      {1e-8, 1e-8, 1e-8, std::nullopt},
      {0.0, kInf, 0.0, std::nullopt},
      {kNaN, 0.0, 0.0, "ftol must be >= 0"},
      {0.0, kNaN, 0.0, "xtol must be >= 0"},
      {-0.0, 0.0, 0.0, "ftol must be >= 0"},
      {-1.0, -1.0, -1.0, "ftol must be >= 0"},
      {-kNaN, 0.0, 0.0, "ftol must be >= 0"},
      {0.0, -0.0, -1.0, "xtol must be >= 0"},
      {0.0, -kInf, 0.0, "xtol must be >= 0"},
      {0.0, 0.0, -0.0, "gtol must be >= 0"},
      {0.0, 0.0, -kNaN, "gtol must be >= 0"},
  };
  for (const Case& c : cases) {
    LmSettings settings;
    settings.ftol = c.ftol;
    settings.xtol = c.xtol;
    settings.gtol = c.gtol;
    EXPECT_EQ(check_lm_settings(settings), c.message) << c.ftol << " " << c.xtol << " " << c.gtol;
  }
}

TEST(LmSettingsCheck, RejectsAStepBoundFactorThatIsNotPositiveAndFinite) {
  for (const double factor : {0.0, -1.0, kNaN, kInf}) {
    LmSettings settings;
    settings.step_bound_factor = factor;
    EXPECT_TRUE(check_lm_settings(settings).has_value()) << factor;
  }
}

}  // namespace
}  // namespace kelvra
