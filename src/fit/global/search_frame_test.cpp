#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fit/fit_test_support.h"
#include "fit/global/cost_order.h"
#include "fit/search_coordinates.h"
#include "fit/global/search_frame.h"

namespace kelvra {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

struct Item {
  int id;
  double cost;
};

TEST(SortByCost, IsStableAndNeverCrossesNaN) {
  const std::vector<std::pair<std::vector<double>, std::vector<int>>> table = {
      {{2.0, kInf, 1.0, 1.0}, {2, 3, 0, 1}},       // equal costs keep their order, +inf last
      {{3.0, kNaN, 1.0, 2.0, 1.0}, {0, 1, 2, 4, 3}},  // NaN is a barrier in both directions
      {{kNaN, 2.0, 1.0}, {0, 2, 1}},
  };
  for (const auto& [costs, expected] : table) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < costs.size(); ++i) items.push_back({static_cast<int>(i), costs[i]});
    sort_by_cost(items, [](const Item& item) { return item.cost; });
    std::vector<int> order;
    for (const Item& item : items) order.push_back(item.id);
    EXPECT_EQ(order, expected);
  }
}

TEST(BestSoFar, KeepsTheRulesOrder) {
  // Costs offered in turn at points {0}, {1}, ...; the expected best index.
  const std::vector<std::pair<std::vector<double>, std::optional<double>>> table = {
      {{kNaN}, std::nullopt},          // NaN never becomes best
      {{kNaN, 5.0, kNaN}, 1.0},        //
      {{kInf}, 0.0},                   // a first +inf is a best
      {{kInf, kInf}, 1.0},             // and is replaced by a later +inf
      {{kInf, 7.0, kInf}, 1.0},        // but not after a finite one
      {{3.0, 3.0}, 0.0},               // ties keep the earlier point
      {{3.0, 1.0, 2.0, -kInf}, 3.0}};
  for (const auto& [costs, expected] : table) {
    BestSoFar best;
    for (std::size_t i = 0; i < costs.size(); ++i) best.offer(std::vector<double>{static_cast<double>(i)}, costs[i]);
    const std::optional<std::vector<double>> point = best.point();
    ASSERT_EQ(point.has_value(), expected.has_value());
    if (expected) {
      EXPECT_EQ((*point)[0], *expected);
    }
  }
}

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
