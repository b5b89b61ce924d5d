#include "drt/peaks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace kelvra {
namespace {

// Two Gaussians in ln tau, two decades apart, with a ripple of 2 % of the
// larger one: two peaks, at the right tau, each with its own area and width.
TEST(FindPeaks, SeparatesProcessesAndIgnoresRipple) {
  const double ln10 = std::numbers::ln10;
  std::vector<double> y;
  std::vector<double> gamma;
  const double sigma = 0.4;  // ln units
  for (double v = -10.0; v <= 6.0; v += 0.01) {
    y.push_back(v);
    const double a = 10.0 * std::exp(-0.5 * std::pow((v - (-5.0)) / sigma, 2));
    const double b = 4.0 * std::exp(-0.5 * std::pow((v - (-5.0 + 2 * ln10)) / sigma, 2));
    gamma.push_back(a + b + 0.2 * std::pow(std::sin(4.0 * v), 2));
  }
  const std::vector<DrtPeak> peaks = find_peaks(y, gamma);
  ASSERT_EQ(peaks.size(), 2u);
  EXPECT_NEAR(std::log(peaks[0].tau), -5.0, 0.05);
  EXPECT_NEAR(std::log(peaks[1].tau), -5.0 + 2 * ln10, 0.05);
  const double area_a = 10.0 * sigma * std::sqrt(2 * std::numbers::pi);
  const double area_b = 4.0 * sigma * std::sqrt(2 * std::numbers::pi);
  // The ripple adds about 0.1 per unit ln tau over each half of the range.
  EXPECT_NEAR(peaks[0].resistance, area_a, 0.15 * area_a);
  EXPECT_NEAR(peaks[1].resistance, area_b, 0.3 * area_b);
  const double fwhm = 2.0 * std::sqrt(2.0 * std::log(2.0)) * sigma / ln10;
  EXPECT_NEAR(peaks[0].width, fwhm, 0.05 * fwhm);
}

TEST(FindPeaks, NothingPositiveHasNoPeaks) {
  const std::vector<double> y = {0, 1, 2, 3};
  EXPECT_TRUE(find_peaks(y, std::vector<double>{0, 0, 0, 0}).empty());
  EXPECT_TRUE(find_peaks(y, std::vector<double>{-1, -0.5, -1, -2}).empty());
}

}  // namespace
}  // namespace kelvra
