#include "fit/search_coordinates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fit/fit_test_support.h"

namespace kelvra {
namespace {

using fit_testing::kInf;
using fit_testing::kNaN;

struct CoordinateCase {
  Bounds bounds;
  double physical;
  double search;
};

class SearchCoordinates : public ::testing::TestWithParam<CoordinateCase> {};

TEST_P(SearchCoordinates, MapBothWays) {
  const CoordinateCase& c = GetParam();
  const std::vector<Bounds> bounds = {c.bounds};
  const std::vector<double> u = to_search_coordinates(bounds, std::vector<double>{c.physical});
  EXPECT_DOUBLE_EQ(u[0], c.search);
  // Back again; a parameter on its lower bound comes back 1e-300 above it.
  const double floor = is_open(c.bounds) && c.physical == c.bounds.lo ? 1e-300 : 0.0;
  EXPECT_DOUBLE_EQ(to_physical(bounds, u)[0], c.physical + floor);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SearchCoordinates,
    ::testing::Values(CoordinateCase{{0.0, 1.0}, 0.5, 0.5},      // bounded: as it is
                      CoordinateCase{{0.0, 1.0}, 2.0, 2.0},      // even outside its bounds
                      CoordinateCase{{0.0, kInf}, 1.0, 0.0},     // open: decades above lo
                      CoordinateCase{{0.0, kInf}, 1000.0, 3.0},  //
                      CoordinateCase{{0.0, kNaN}, 100.0, 2.0},   // NaN upper bound counts as open
                      CoordinateCase{{1.0, kInf}, 11.0, 1.0},    //
                      CoordinateCase{{0.0, kInf}, 0.0, -300.0},  // on the bound: the 1e-300 floor
                      CoordinateCase{{1e-12, kInf}, 1e-12, -300.0}));

TEST(SearchCoordinates, OnlyEntriesWithBoundsAreMapped) {
  const std::vector<Bounds> bounds = {{0.0, kInf}};
  EXPECT_EQ(to_search_coordinates(bounds, std::vector<double>{100.0, 100.0}), (std::vector<double>{2.0, 100.0}));
}

struct BoxCase {
  Bounds bounds;
  double start;
  double lower;
  double upper;
};

class PsoSearchBox : public ::testing::TestWithParam<BoxCase> {};

TEST_P(PsoSearchBox, SpansTheExpectedInterval) {
  const BoxCase& c = GetParam();
  const SearchBox box = pso_search_box(std::vector<Bounds>{c.bounds}, std::vector<double>{c.start});
  ASSERT_EQ(box.lower.size(), 1U);
  EXPECT_NEAR(box.lower[0], c.lower, 1e-9);
  EXPECT_NEAR(box.upper[0], c.upper, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Table, PsoSearchBox,
                         ::testing::Values(BoxCase{{0.0, kInf}, 100.0, -2.0, 6.0},    // four decades either side
                                           BoxCase{{0.0, kInf}, -100.0, -2.0, 6.0},   // of the magnitude
                                           BoxCase{{0.0, kInf}, 0.0, -10.0, -2.0},    // magnitude floored at 1e-6
                                           BoxCase{{1e-12, kInf}, 1.0, -4.0 + std::log10(1.0 - 1e-8), 4.0},  // lo shifts the last digits
                                           BoxCase{{0.0, 1.0}, 0.5, 0.0, 1.0},        // bounded: its bounds
                                           BoxCase{{0.0, 1.0}, 7.0, 0.0, 1.0}));

}  // namespace
}  // namespace kelvra
