#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "nn/network.h"

namespace kelvra {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kHalfPi = 1.5707963267948966;

Guesser grid_of(std::uint64_t n_grid) {
  Guesser g{};
  g.n_grid = n_grid;
  return g;
}

struct InterpolateCase {
  std::vector<double> xs;
  std::vector<double> ys;
  double x;
  double expected;
};

class InterpolateTest : public ::testing::TestWithParam<InterpolateCase> {};

TEST_P(InterpolateTest, ClampsAndInterpolates) {
  const InterpolateCase& c = GetParam();
  EXPECT_EQ(interpolate(c.xs, c.ys, c.x), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, InterpolateTest,
                         ::testing::Values(InterpolateCase{{0, 1}, {0, 10}, 0.25, 2.5},
                                           InterpolateCase{{0, 1}, {0, 10}, -1, 0},
                                           InterpolateCase{{0, 1}, {0, 10}, 2, 10},
                                           // Exactly at an inner point: that point's value.
                                           InterpolateCase{{0, 1, 3}, {4, 7, 9}, 1, 7},
                                           // Repeated abscissae take the left ordinate.
                                           InterpolateCase{{0, 1, 1, 2}, {0, 5, 8, 9}, 1, 8},
                                           InterpolateCase{{0, 1, 1, 2}, {0, 5, 8, 9}, 1.5, 8.5}));

TEST(InterpolateTest, NanAbscissaeStayInsideTheTable) {
  const std::vector<double> xs = {0.0, NAN, 2.0};
  const std::vector<double> ys = {1.0, 2.0, 3.0};
  EXPECT_TRUE(std::isnan(interpolate(xs, ys, 1.0)));
  EXPECT_TRUE(std::isnan(interpolate(xs, ys, NAN)));
}

TEST(FeaturesTest, OnlyCapacitivePointsSetTheScales) {
  // Only the first point has weight 1/sqrt(2); its phase of -pi/4 is -0.5
  // in the phase channel.
  const std::vector<double> f = {1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {1.0, 0.0}};
  const SpectrumFeatures s = features(grid_of(4), f, z);
  EXPECT_NEAR(s.r_scale, std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(s.omega_scale, kTwoPi, 1e-14);
  EXPECT_DOUBLE_EQ(s.image[4], -0.5);
  EXPECT_EQ(s.image[7], 0.0);
  EXPECT_DOUBLE_EQ(s.extras[0], 0.125);
  EXPECT_DOUBLE_EQ(s.extras[1], std::log10(2.0) * 0.5);
}

TEST(FeaturesTest, WithoutReactiveWeightTheScalesAreBandCentreAndUpperMedian) {
  const std::vector<double> f = {1.0, 10.0, 100.0, 1000.0};
  const std::vector<Complex> z = {{4.0, 0.0}, {0.0, 1.0}, {2.0, 0.0}, {0.0, 3.0}};
  const SpectrumFeatures s = features(grid_of(8), f, z);
  EXPECT_EQ(s.r_scale, 3.0);
  EXPECT_NEAR(s.omega_scale, kTwoPi * std::pow(10.0, 1.5), 1e-12);
}

TEST(FeaturesTest, PointOrderDoesNotChangeTheImage) {
  const std::vector<double> f = {0.5, 3.0, 20.0, 150.0, 900.0};
  const std::vector<Complex> z = {{9, -4}, {7, -3}, {5, -2.5}, {4, -1}, {3.5, 0.2}};
  const std::vector<double> f_down(f.rbegin(), f.rend());
  const std::vector<Complex> z_down(z.rbegin(), z.rend());
  const SpectrumFeatures up = features(grid_of(16), f, z);
  const SpectrumFeatures down = features(grid_of(16), f_down, z_down);
  for (std::size_t i = 0; i < up.image.size(); ++i) EXPECT_NEAR(up.image[i], down.image[i], 1e-14) << i;
}

TEST(FeaturesTest, PhaseIsUnwrappedAcrossTheCut) {
  // Angles +3.1 then -3.1 rad: the second continues to 2*pi - 3.1.
  const std::vector<double> f = {1.0, 10.0};
  const std::vector<Complex> z = {{std::cos(3.1), std::sin(3.1)}, {std::cos(-3.1), std::sin(-3.1)}};
  const SpectrumFeatures s = features(grid_of(2), f, z);
  EXPECT_NEAR(s.image[2] * kHalfPi, 3.1, 1e-12);
  EXPECT_NEAR(s.image[3] * kHalfPi, kTwoPi - 3.1, 1e-12);
}

TEST(FeaturesTest, EqualFrequenciesKeepInputOrder) {
  // The later of two points at 10 Hz wins the right side of the step.
  const std::vector<double> f = {10.0, 1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -1.0}, {2.0, -1.0}, {100.0, -1.0}};
  const SpectrumFeatures s = features(grid_of(2), f, z);
  EXPECT_NEAR(s.image[1] + std::log10(s.r_scale), std::log10(std::hypot(100.0, 1.0)), 1e-14);
}

TEST(FeaturesTest, SingleGridPointSitsAtTheLowestFrequency) {
  const std::vector<double> f = {100.0, 1.0, 10.0};
  const std::vector<Complex> z = {{1.0, -0.5}, {3.0, -1.0}, {2.0, -2.0}};
  const SpectrumFeatures s = features(grid_of(1), f, z);
  ASSERT_EQ(s.image.size(), 3u);
  EXPECT_NEAR(s.image[0], std::log10(std::hypot(3.0, 1.0)) - std::log10(s.r_scale), 1e-15);
  EXPECT_NEAR(s.image[2], (0.0 - std::log10(s.omega_scale / kTwoPi)) * 0.25, 1e-15);
  EXPECT_DOUBLE_EQ(s.extras[0], 2.0 * 0.125);
}

TEST(FeaturesTest, LastGridPointIsTheLastMeasuredValue) {
  // Rounding of g * step may overshoot the last abscissa; it is clamped.
  std::vector<double> f;
  std::vector<Complex> z;
  for (int i = 0; i < 37; ++i) {
    f.push_back(0.013 * std::pow(10.0, 0.173 * i));
    z.push_back({1.0 + i, -0.3 * i});
  }
  const SpectrumFeatures s = features(grid_of(64), f, z);
  EXPECT_NEAR(s.image[63], std::log10(std::hypot(37.0, -0.3 * 36)) - std::log10(s.r_scale), 1e-13);
}

}  // namespace
}  // namespace kelvra
