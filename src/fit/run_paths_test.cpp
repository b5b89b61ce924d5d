#include "fit/run_paths.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kelvra {
namespace {

// One open parameter (decades) and one bounded to [0, 10], so that the box
// around a point is 1e-3 decades by 1e-2 units.
const std::vector<Bounds> kBounds = {{0.0, std::numeric_limits<double>::infinity()}, {0.0, 10.0}};
const std::vector<double> kOnPath = {-2.0, 5.0};
constexpr double kSumOfSquares = 0.5;

struct Probe {
  const char* name;
  std::vector<double> u;
  double sum_of_squares;
  bool joins;
};

TEST(RunPaths, JoinsOnlyAClosedPathWithinItsBoxAndTolerance) {
  const double d = kJoinDistance;
  const double t = kJoinTolerance;
  const std::vector<Probe> probes = {
      {"the point itself", kOnPath, kSumOfSquares, true},
      {"inside the box", {-2.0 + 0.9 * d, 5.0 - 9.0 * d}, kSumOfSquares * (1.0 + 0.9 * t), true},
      {"beyond the box in decades", {-2.0 + 1.1 * d, 5.0}, kSumOfSquares, false},
      {"beyond the box in the bounded range", {-2.0, 5.0 + 11.0 * d}, kSumOfSquares, false},
      {"a higher sum of squares", kOnPath, kSumOfSquares * (1.0 + 1.1 * t), false},
      {"a lower sum of squares", kOnPath, kSumOfSquares * (1.0 - 1.1 * t), false},
      {"a NaN coordinate", {std::nan(""), 5.0}, kSumOfSquares, false},
      {"a NaN sum of squares", kOnPath, std::nan(""), false},
  };
  RunPaths paths(kBounds);
  paths.record(kOnPath, kSumOfSquares);
  paths.record(std::vector{-1.0, 2.0}, 0.9);
  // The path being walked is never joined: a run is always near itself.
  EXPECT_FALSE(paths.joins(kOnPath, kSumOfSquares));
  paths.close_path();
  for (const Probe& p : probes) EXPECT_EQ(paths.joins(p.u, p.sum_of_squares), p.joins) << p.name;
}

TEST(RunPaths, EveryClosedPathStaysJoinable) {
  RunPaths paths(kBounds);
  // Paths closed one after another, their sums of squares interleaved, so
  // that closing a path must keep the earlier ones in order.
  for (int path = 0; path < 3; ++path) {
    for (int k = 0; k < 4; ++k) paths.record(std::vector{double(path), double(k)}, 1.0 + 0.1 * k + 0.01 * path);
    paths.close_path();
  }
  for (int path = 0; path < 3; ++path) {
    for (int k = 0; k < 4; ++k) {
      EXPECT_TRUE(paths.joins(std::vector{double(path), double(k)}, 1.0 + 0.1 * k + 0.01 * path)) << path << k;
    }
  }
}

}  // namespace
}  // namespace kelvra
