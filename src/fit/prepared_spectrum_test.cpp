#include "fit/prepared_spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "circuit/evaluate.h"

namespace kelvra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct WeightCase {
  Complex measured;
  double modulus_weight;
};

TEST(ComputeWeights, ModulusWithFloorAndUnit) {
  const std::vector<WeightCase> cases = {
      {{3.0, 4.0}, 5.0},
      {{-3.0, -4.0}, 5.0},
      {{0.0, 0.0}, 1e-30},
      {{1e-40, 0.0}, 1e-30},
      {{kNaN, 1.0}, 1e-30},
      // hypot must not overflow where re^2 + im^2 would.
      {{1e200, 1e200}, std::hypot(1e200, 1e200)},
  };
  std::vector<Complex> measured;
  for (const WeightCase& c : cases) measured.push_back(c.measured);

  const std::vector<double> modulus = compute_weights(measured, Weighting::Modulus);
  const std::vector<double> unit = compute_weights(measured, Weighting::Unit);
  ASSERT_EQ(modulus.size(), cases.size());
  ASSERT_EQ(unit.size(), cases.size());
  for (std::size_t k = 0; k < cases.size(); ++k) {
    EXPECT_DOUBLE_EQ(modulus[k], cases[k].modulus_weight) << "case " << k;
    EXPECT_EQ(unit[k], 1.0);
  }
  EXPECT_TRUE(compute_weights({}, Weighting::Modulus).empty());
}

// The prepared form owns what it views: it survives the spectrum it came
// from and a move, and keeps the points in input order.
TEST(PreparedSpectrum, OwnsItsPointsInInputOrder) {
  auto spectrum = std::make_unique<Spectrum>(Spectrum{{100.0, 1.0, 0.5}, {{3.0, 4.0}, {0.0, -2.0}, {6.0, 8.0}}});
  PreparedSpectrum first = PreparedSpectrum::from(*spectrum, Weighting::Modulus);
  spectrum.reset();
  const PreparedSpectrum prepared = std::move(first);
  ASSERT_EQ(prepared.point_count(), 3u);
  EXPECT_EQ(prepared.residual_count(), 6u);
  EXPECT_EQ(std::vector(prepared.omega().begin(), prepared.omega().end()),
            (std::vector{100.0 * kTwoPi, kTwoPi, 0.5 * kTwoPi}));
  EXPECT_EQ(prepared.measured()[1].im, -2.0);
  EXPECT_EQ(std::vector(prepared.weights().begin(), prepared.weights().end()), (std::vector{5.0, 2.0, 10.0}));
  EXPECT_EQ(PreparedSpectrum::from(Spectrum{}, Weighting::Unit).residual_count(), 0u);
}

}  // namespace
}  // namespace kelvra
