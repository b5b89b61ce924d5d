#include "circuit/evaluate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "circuit/grammar.h"
#include "circuit/params.h"

// Counts heap allocations on this thread, so that the evaluation's
// no-allocation guarantee is checked rather than assumed.
namespace {
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kelvra {
namespace {

// Every kind, nested groups, and a branch that is itself a series.
constexpr const char* kEveryKind = "L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3-(Ws4,G5,Gs6)-K7-Tlmq8-T9-C10";

Series circuit(std::string_view text) { return parse(text).value(); }

std::vector<double> distinct_values(std::size_t n) {
  std::vector<double> values;
  for (std::size_t i = 0; i < n; ++i) values.push_back(0.1 + 0.07 * static_cast<double>(i % 13));
  return values;
}

TEST(Impedance, EmptySeriesIsExactlyZero) {
  const Complex z = impedance(Series{}, 3.0);
  EXPECT_EQ(z.re, 0.0);
  EXPECT_EQ(z.im, 0.0);
}

TEST(Impedance, SeriesOfAResistorAndAParallelRC) {
  const std::vector<double> ones{1.0, 1.0, 1.0};
  const Complex z = impedance(rebuild(circuit("R0-(R1,C1)"), ones), 1.0);
  EXPECT_EQ(z.re, 1.5);
  EXPECT_EQ(z.im, -0.5);
}

TEST(Impedance, DegenerateGroupsAreLeftAsComputed) {
  const Complex empty_group = impedance(Series{Node{ParallelGroup{}}}, 1.0);
  EXPECT_TRUE(std::isnan(empty_group.re) && std::isnan(empty_group.im));

  const std::vector<double> shorted{0.0, 1.0};
  const Complex z = impedance(rebuild(circuit("(R1,C1)"), shorted), 1.0);
  EXPECT_FALSE(std::isfinite(z.re) && std::isfinite(z.im));
}

TEST(SeriesImpedanceWithParams, ReadsValuesInParameterOrder) {
  const Series tree = circuit(kEveryKind);
  std::vector<double> values = distinct_values(param_count(tree));
  const Series rebuilt = rebuild(tree, values);
  // Extra values after the last parameter are ignored.
  values.push_back(1e9);
  for (const double omega : {0.01, 1.0, 2e4}) {
    const Complex expected = impedance(rebuilt, omega);
    const Complex z = series_impedance_with_params(tree, values, omega);
    EXPECT_EQ(z.re, expected.re) << omega;
    EXPECT_EQ(z.im, expected.im) << omega;
  }
}

TEST(SeriesImpedanceWithParams, TooFewValuesGiveNaNNotAReadPastTheEnd) {
  const Series tree = circuit("R0-(R1,C1)");
  const std::vector<double> two{1.0, 1.0};
  const Complex z = series_impedance_with_params(tree, two, 1.0);
  EXPECT_TRUE(std::isnan(z.re) && std::isnan(z.im));
}

TEST(Evaluation, DoesNotAllocate) {
  const Series tree = circuit(kEveryKind);
  const std::vector<double> values = distinct_values(param_count(tree));
  const std::size_t before = allocations;
  double checksum = 0.0;
  for (const double omega : {0.1, 10.0, 1e3}) {
    checksum += impedance(tree, omega).re + series_impedance_with_params(tree, values, omega).re;
  }
  EXPECT_EQ(allocations, before);
  EXPECT_TRUE(std::isfinite(checksum));
}

// Bit equality with NaNs of any payload counted equal.
bool same(double a, double b) { return a == b ? std::signbit(a) == std::signbit(b) : std::isnan(a) && std::isnan(b); }

TEST(SpectrumImpedance, EqualsTheOneFrequencyWalksBitForBit) {
  const Series tree = circuit(kEveryKind);
  const std::vector<double> omega = {0.0, -3.0, 1e-9, 0.01, 1.0, 2e4, 1e12, std::nan("")};
  std::vector<Complex> out(omega.size());
  // Exponents on and off their fast paths (1, 0.5, 0) in the power fields.
  for (const double exponent : {0.73, 1.0, 0.5, 0.0}) {
    std::vector<double> values = distinct_values(param_count(tree));
    const std::vector<std::string> names = param_names(tree);
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i].ends_with(".alpha") || names[i].ends_with(".gamma")) values[i] = exponent;
    }
    const Series rebuilt = rebuild(tree, values);
    spectrum_impedance_with_params(tree, values, omega, out);
    for (std::size_t k = 0; k < omega.size(); ++k) {
      const Complex expected = series_impedance_with_params(tree, values, omega[k]);
      EXPECT_TRUE(same(out[k].re, expected.re) && same(out[k].im, expected.im)) << exponent << " " << omega[k];
    }
    spectrum_impedance(rebuilt, omega, out);
    for (std::size_t k = 0; k < omega.size(); ++k) {
      const Complex expected = impedance(rebuilt, omega[k]);
      EXPECT_TRUE(same(out[k].re, expected.re) && same(out[k].im, expected.im)) << exponent << " " << omega[k];
    }
  }
}

TEST(SpectrumImpedance, DoesNotAllocateOnceWarm) {
  const Series tree = circuit(kEveryKind);
  const std::vector<double> values = distinct_values(param_count(tree));
  const std::vector<double> omega = {0.1, 10.0, 1e3};
  std::vector<Complex> out(omega.size());
  spectrum_impedance_with_params(tree, values, omega, out);
  const std::size_t before = allocations;
  spectrum_impedance_with_params(tree, values, omega, out);
  spectrum_impedance(tree, omega, out);
  EXPECT_EQ(allocations, before);
}

}  // namespace
}  // namespace kelvra
