#include "drt/drt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace kelvra {
namespace {

// R0 + R / (1 + (j w tau0)^phi) at `count` frequencies from 10 mHz to 100 kHz.
Spectrum zarc(double r0, double r, double tau0, double phi, std::size_t count = 70) {
  Spectrum s;
  for (std::size_t i = 0; i < count; ++i) {
    const double f = std::pow(10.0, 5.0 - 7.0 * static_cast<double>(i) / static_cast<double>(count - 1));
    const double x = std::pow(2 * std::numbers::pi * f * tau0, phi);
    const double angle = phi * std::numbers::pi / 2;
    // 1 + x e^{j angle}
    const double dr = 1 + x * std::cos(angle);
    const double di = x * std::sin(angle);
    const double d2 = dr * dr + di * di;
    s.frequencies.push_back(f);
    s.impedances.push_back({r0 + r * dr / d2, -r * di / d2});
  }
  return s;
}

TEST(Drt, ZarcRecoversPeakResistancesAndSeries) {
  const Spectrum s = zarc(10.0, 100.0, 1e-3, 0.8);
  const Result<Drt, DrtError> result = compute_drt(s, DrtOptions{});
  ASSERT_TRUE(result.ok()) << display(result.error());
  const Drt& drt = result.value();
  ASSERT_EQ(drt.peaks.size(), 1u);
  EXPECT_NEAR(std::log10(drt.peaks[0].tau), -3.0, 0.1);
  EXPECT_NEAR(drt.polarization_resistance, 100.0, 2.0);
  EXPECT_NEAR(drt.r_inf, 10.0, 1.1);
  EXPECT_FALSE(drt.has_inductance);
  for (const double g : drt.gamma) EXPECT_GE(g, 0.0);
}

// Points in any order give the same DRT.
TEST(Drt, PointOrderDoesNotMatter) {
  Spectrum s = zarc(5.0, 50.0, 1e-2, 0.9, 40);
  const Drt sorted = compute_drt(s, DrtOptions{}).value();
  std::reverse(s.frequencies.begin(), s.frequencies.end());
  std::reverse(s.impedances.begin(), s.impedances.end());
  std::swap(s.frequencies[3], s.frequencies[17]);
  std::swap(s.impedances[3], s.impedances[17]);
  const Drt shuffled = compute_drt(s, DrtOptions{}).value();
  EXPECT_NEAR(shuffled.lambda, sorted.lambda, 1e-6 * sorted.lambda);
  EXPECT_NEAR(shuffled.polarization_resistance, sorted.polarization_resistance, 1e-6);
}

// An inductance in series is found, and switched on by the positive
// imaginary parts it leaves at high frequency.
TEST(Drt, SeriesInductanceIsRecovered) {
  Spectrum s = zarc(2.0, 20.0, 1e-3, 0.9);
  const double inductance = 2e-6;
  for (std::size_t i = 0; i < s.frequencies.size(); ++i) {
    s.impedances[i].im += 2 * std::numbers::pi * s.frequencies[i] * inductance;
  }
  const Drt drt = compute_drt(s, DrtOptions{}).value();
  EXPECT_TRUE(drt.has_inductance);
  EXPECT_NEAR(drt.inductance, inductance, 0.02 * inductance);
}

struct BadInput {
  std::size_t index;  // the point to spoil
  std::optional<double> frequency;
  std::optional<Complex> impedance;
  const char* message;
};

class DrtBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(DrtBadInput, NamesTheProblem) {
  const BadInput c = GetParam();
  Spectrum s = zarc(1.0, 10.0, 1e-3, 0.9, 10);
  if (c.frequency) s.frequencies[c.index] = *c.frequency;
  if (c.impedance) s.impedances[c.index] = *c.impedance;
  const Result<Drt, DrtError> result = compute_drt(s, DrtOptions{});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(display(result.error()), c.message);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, DrtBadInput,
    ::testing::Values(
        BadInput{4, std::nullopt, Complex{kNaN, 0.0}, "point 4 has a NaN or infinite frequency or impedance"},
        BadInput{2, kInf, std::nullopt, "point 2 has a NaN or infinite frequency or impedance"},
        BadInput{7, 0.0, std::nullopt, "point 7 has the frequency 0 Hz; frequencies must be positive"},
        BadInput{1, -3.0, std::nullopt, "point 1 has the frequency -3 Hz; frequencies must be positive"},
        BadInput{9, 1e5, std::nullopt, "points 0 and 9 share the frequency 100000 Hz"}));

TEST(Drt, TooFewAndAllZero) {
  Spectrum s = zarc(1.0, 10.0, 1e-3, 0.9, 4);
  EXPECT_EQ(display(compute_drt(s, DrtOptions{}).error()), "a DRT needs at least 5 points, got 4");
  s = zarc(1.0, 10.0, 1e-3, 0.9, 8);
  for (Complex& z : s.impedances) z = {0.0, 0.0};
  EXPECT_EQ(display(compute_drt(s, DrtOptions{}).error()),
            "every impedance is zero: there is no spectrum to take a DRT of");
  DrtOptions options;
  options.rule = LambdaRule::Given;
  options.lambda = -1.0;
  EXPECT_EQ(display(compute_drt(zarc(1.0, 10.0, 1e-3, 0.9, 8), options).error()),
            "lambda_ must be positive and finite, got -1");
}

}  // namespace
}  // namespace kelvra
