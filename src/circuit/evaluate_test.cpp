#include "circuit/evaluate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <utility>
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
// Out of line, so that GCC does not inline free() into a caller where it can
// also see the call to operator new and warn about a mismatched pair.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

Node leaf(Kind kind) { return Node{Leaf{Element{kind, info(kind).defaults}, std::nullopt}}; }

// R-(C,R-(C,...-(C,CPE))): `depth` groups, each inside the previous one's
// second branch.
Series nested(std::size_t depth) {
  Series inner(1, leaf(Kind::Cpe));
  for (std::size_t level = 0; level < depth; ++level) {
    ParallelGroup group;
    group.branches.emplace_back(1, leaf(Kind::C));
    group.branches.push_back(std::move(inner));
    inner.assign(1, leaf(Kind::R));
    inner.emplace_back(std::move(group));
  }
  return inner;
}

// One group of `branches` branches, each K-CPE.
Series wide(std::size_t branches) {
  ParallelGroup group;
  for (std::size_t b = 0; b < branches; ++b) group.branches.push_back(Series{leaf(Kind::K), leaf(Kind::Cpe)});
  return Series{Node{std::move(group)}};
}

struct Shape {
  const char* name;
  Series tree;
};

// Shapes that exercise every path of the spectrum evaluation: all kinds,
// degenerate groups, nesting deep enough to shorten the frequency blocks
// (up to the nesting limit), and a thousand branches in one group.
std::vector<Shape> shapes() {
  std::vector<Shape> table;
  table.push_back({"every kind", circuit(kEveryKind)});
  table.push_back({"empty circuit", Series{}});
  table.push_back({"empty group between leaves", Series{leaf(Kind::R), Node{ParallelGroup{}}, leaf(Kind::C)}});
  table.push_back({"empty branch", Series{Node{ParallelGroup{{Series{}, Series{leaf(Kind::R)}}}}}});
  table.push_back({"branches vanishing at zero or infinite omega", circuit("R0-(R1,L1)-(L2,C2)")});
  table.push_back({"nested 40 deep", nested(40)});
  table.push_back({"nested to the limit", nested(kMaxNestingDepth)});
  table.push_back({"1000 branches", wide(1000)});
  return table;
}

// More than two blocks of frequencies, the last one partial, with the
// values where formulas divide by zero or take a NaN.
std::vector<double> test_omegas() {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<double> omega = {0.0, -0.0, -3.0, 1e-9, 1e12, kInf, -kInf, std::nan("")};
  constexpr std::size_t kLogSpaced = 142;
  for (std::size_t k = 0; k < kLogSpaced; ++k) omega.push_back(std::pow(10.0, -4.0 + 0.07 * static_cast<double>(k)));
  return omega;
}

// Distinct values, with every alpha and gamma set to `exponent`.
std::vector<double> values_with_exponent(const Series& tree, double exponent) {
  std::vector<double> values = distinct_values(param_count(tree));
  const std::vector<std::string> names = param_names(tree);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i].ends_with(".alpha") || names[i].ends_with(".gamma")) values[i] = exponent;
  }
  return values;
}

TEST(SpectrumImpedance, EqualsTheOneFrequencyWalksBitForBit) {
  const std::vector<double> omega = test_omegas();
  std::vector<Complex> out(omega.size());
  for (const Shape& shape : shapes()) {
    // Exponents on and off their fast paths (1, 0.5, 0) in the power fields.
    for (const double exponent : {0.73, 1.0, 0.5, 0.0}) {
      const std::vector<double> values = values_with_exponent(shape.tree, exponent);
      const Series rebuilt = rebuild(shape.tree, values);
      spectrum_impedance_with_params(shape.tree, values, omega, out);
      for (std::size_t k = 0; k < omega.size(); ++k) {
        const Complex expected = series_impedance_with_params(shape.tree, values, omega[k]);
        EXPECT_TRUE(same(out[k].re, expected.re) && same(out[k].im, expected.im))
            << shape.name << ", exponent " << exponent << ", omega " << omega[k];
      }
      spectrum_impedance(rebuilt, omega, out);
      for (std::size_t k = 0; k < omega.size(); ++k) {
        const Complex expected = impedance(rebuilt, omega[k]);
        EXPECT_TRUE(same(out[k].re, expected.re) && same(out[k].im, expected.im))
            << shape.name << ", exponent " << exponent << ", omega " << omega[k];
      }
    }
  }
}

TEST(SpectrumImpedance, DoesNotAllocateOnceWarm) {
  const std::vector<double> omega = test_omegas();
  std::vector<Complex> out(omega.size());
  for (const Shape& shape : shapes()) {
    const std::vector<double> values = distinct_values(param_count(shape.tree));
    spectrum_impedance_with_params(shape.tree, values, omega, out);
    const std::size_t before = allocations;
    spectrum_impedance_with_params(shape.tree, values, omega, out);
    spectrum_impedance(shape.tree, omega, out);
    EXPECT_EQ(allocations, before) << shape.name;
  }
}

// Worker threads evaluate spectra of one shared tree at once, each thread
// with its own scratch; different shapes at the same time must not disturb
// each other.
TEST(SpectrumImpedance, ConcurrentCallersGetTheSerialResults) {
  constexpr std::size_t kCallers = 4;
  constexpr std::size_t kRounds = 3;
  const std::vector<double> omega = test_omegas();
  const std::vector<Shape> table = shapes();
  std::vector<std::vector<Complex>> serial;
  for (const Shape& shape : table) {
    serial.emplace_back(omega.size());
    spectrum_impedance(shape.tree, omega, serial.back());
  }
  std::vector<std::size_t> mismatches(kCallers, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kCallers; ++t) {
    threads.emplace_back([&, t] {
      std::vector<Complex> out(omega.size());
      // Each caller starts at a different shape, so unlike shapes overlap.
      for (std::size_t i = 0; i < kRounds * table.size(); ++i) {
        const std::size_t s = (t + i) % table.size();
        spectrum_impedance(table[s].tree, omega, out);
        for (std::size_t k = 0; k < omega.size(); ++k) {
          if (!same(out[k].re, serial[s][k].re) || !same(out[k].im, serial[s][k].im)) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < kCallers; ++t) EXPECT_EQ(mismatches[t], 0u) << "caller " << t;
}

}  // namespace
}  // namespace kelvra
