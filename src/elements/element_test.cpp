#include "elements/element.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace kelvra {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kRelativeTolerance = 1e-12;

Element element(Kind kind, std::vector<double> values) { return make_element(kind, values); }

void expect_near(Complex actual, Complex expected, const std::string& what) {
  const double error = std::hypot(actual.re - expected.re, actual.im - expected.im);
  EXPECT_LE(error, kRelativeTolerance * std::hypot(expected.re, expected.im))
      << what << ": got " << actual.re << " " << actual.im << "j, expected " << expected.re << " " << expected.im
      << "j";
}

// Equal bits, any NaN matching any NaN.
bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof(double)) == 0 || (std::isnan(a) && std::isnan(b));
}

void expect_exact(Complex actual, Complex expected) {
  EXPECT_EQ(actual.re, expected.re);
  EXPECT_EQ(actual.im, expected.im);
}

// Expected values from the textbook formulas with an independent complex
// library (tanh, coth and csch taken directly, no saturation involved).
struct Golden {
  Kind kind;
  std::vector<double> values;
  double omega;
  double re;
  double im;
};

const std::vector<Golden> kGolden = {
    {Kind::R, {47.0}, 0.7, 47.0, 0.0},
    {Kind::R, {47.0}, 150.0, 47.0, 0.0},
    {Kind::C, {0.00025}, 0.7, 0.0, -5714.285714285715},
    {Kind::C, {0.00025}, 150.0, 0.0, -26.666666666666668},
    {Kind::L, {0.003}, 0.7, 0.0, 0.0021},
    {Kind::L, {0.003}, 150.0, 0.0, 0.45},
    {Kind::La, {0.002, 0.7}, 0.7, 0.004563902835692898, 0.008957163651435627},
    {Kind::La, {0.002, 0.7}, 150.0, 0.19544818562094965, 0.38358866238159645},
    {Kind::Cpe, {0.0004, 0.85}, 0.7, 790.2999019803218, -3291.8360000211123},
    {Kind::Cpe, {0.0004, 0.85}, 150.0, 8.249881147281865, -34.3632280460464},
    {Kind::W, {12.0}, 0.7, 14.342743312012724, -14.342743312012724},
    {Kind::W, {12.0}, 150.0, 0.9797958971132713, -0.9797958971132713},
    {Kind::Wo, {5.0, 0.3}, 0.7, 1.6662002077848024, -23.832847347274967},
    {Kind::Wo, {5.0, 0.3}, 150.0, 0.5269714472263547, -0.5269615329292567},
    {Kind::Ws, {5.0, 0.3}, 0.7, 4.970811130663576, -0.3475189690130614},
    {Kind::Ws, {5.0, 0.3}, 150.0, 0.5271211166955312, -0.527131033995051},
    {Kind::G, {8.0, 0.02}, 0.7, 7.999412084021413, -0.05599314105866436},
    {Kind::G, {8.0, 0.02}, 150.0, 3.6495600436955153, -2.630454050641982},
    {Kind::Gs, {8.0, 0.02, 1.7}, 0.7, 8.55146371527087, -0.07345510425182926},
    {Kind::Gs, {8.0, 0.02, 1.7}, 150.0, 3.6146409604842593, -2.574189156126409},
    {Kind::K, {20.0, 0.005}, 0.7, 19.999755003001216, -0.06999914251050425},
    {Kind::K, {20.0, 0.005}, 150.0, 12.8, -9.6},
    {Kind::Zarc, {20.0, 0.005, 0.75}, 0.7, 19.886992917272682, -0.26293629159356235},
    {Kind::Zarc, {20.0, 0.005, 0.75}, 150.0, 11.546456055594989, -6.570742663335255},
    {Kind::Tlmq, {30.0, 0.002, 0.9}, 0.7, 117.81904141652743, -680.800638105711},
    {Kind::Tlmq, {30.0, 0.002, 0.9}, 150.0, 9.17811416278105, -7.9380383709425315},
    {Kind::T, {2.0, 3.0, 1.5, 0.4}, 0.7, 3.4049799926632436, -0.5986727953773083},
    {Kind::T, {2.0, 3.0, 1.5, 0.4}, 150.0, 0.18782413506604587, -0.17993855053336463},
};

TEST(ElementImpedance, MatchesGoldenValuesForEveryKind) {
  for (std::size_t k = 0; k < kKindCount; ++k) {
    const Kind kind = static_cast<Kind>(k);
    std::size_t rows = 0;
    for (const Golden& g : kGolden) {
      if (g.kind != kind) continue;
      ++rows;
      expect_near(element_impedance(element(kind, g.values), g.omega), {g.re, g.im},
                  std::string(info(kind).display_name) + " at omega " + std::to_string(g.omega));
    }
    EXPECT_GT(rows, 0u) << "no golden values for kind " << info(kind).display_name;
  }
}

// Limiting cases the formulas must reproduce; `exact` cases take a fast
// path or a saturation and must match bit for bit.
struct Special {
  const char* name;
  Element element;
  double omega;
  Complex expected;
  bool exact;
};

class ElementSpecialCases : public testing::TestWithParam<Special> {};

TEST_P(ElementSpecialCases, Impedance) {
  const Special& c = GetParam();
  const Complex z = element_impedance(c.element, c.omega);
  if (c.exact) {
    expect_exact(z, c.expected);
  } else {
    expect_near(z, c.expected, c.name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ElementSpecialCases,
    testing::Values(
        Special{"La alpha 1 is j omega l", element(Kind::La, {0.25, 1.0}), 2.0, {0.0, 0.5}, true},
        Special{"La alpha 0 is one whatever l", element(Kind::La, {kNaN, 0.0}), 2.0, {1.0, 0.0}, true},
        Special{"La alpha 0.5 is sqrt(j omega l)", element(Kind::La, {1.0, 0.5}), 2.0, {1.0, 1.0}, true},
        Special{"Cpe alpha 0 is the resistance 1/q", element(Kind::Cpe, {0.25, 0.0}), 3.0, {4.0, 0.0}, true},
        Special{"W at omega 1", element(Kind::W, {2.0}), 1.0, {2.0, -2.0}, true},
        Special{"K", element(Kind::K, {2.0, 1.0}), 1.0, {1.0, -1.0}, true},
        Special{"Zarc gamma 0.5", element(Kind::Zarc, {2.0, 0.25, 0.5}), 8.0, {0.8, -0.4}, false},
        Special{"Wo saturated is z0/s", element(Kind::Wo, {3.0, 1.0}), 1000.0,
                {0.0670820393249937, -0.0670820393249937}, false},
        Special{"Ws saturated is z0/s", element(Kind::Ws, {3.0, 1.0}), 1000.0,
                {0.0670820393249937, -0.0670820393249937}, false},
        Special{"Gs saturated tanh is +1", element(Kind::Gs, {2.0, 1.0, 30.0}), 1.0,
                {1.5537739740300371, -0.6435942529055825}, false},
        Special{"Gs saturated tanh is -1", element(Kind::Gs, {2.0, 1.0, -30.0}), 1.0,
                {-1.5537739740300371, 0.6435942529055825}, false},
        Special{"Tlmq saturated", element(Kind::Tlmq, {1e4, 1.0, 1.0}), 1.0,
                {70.71067811865476, -70.71067811865476}, false},
        Special{"T saturated drops csch", element(Kind::T, {2.0, 3.0, 900.0, 1.0}), 1.0,
                {0.06666663580249692, -3.703700845910415e-05}, false},
        // Without saturation sinh and cosh overflow and the quotient is NaN.
        Special{"Ws far beyond overflow", element(Kind::Ws, {1.0, 1.0}), 1e6,
                {1.0 / std::sqrt(2e6), -1.0 / std::sqrt(2e6)}, false}));

TEST(ElementImpedance, ExponentOneReducesToTheIdealElement) {
  const double omega = 37.0;
  expect_exact(element_impedance(element(Kind::Cpe, {2e-3, 1.0}), omega),
               element_impedance(element(Kind::C, {2e-3}), omega));
  expect_exact(element_impedance(element(Kind::Zarc, {5.0, 2e-3, 1.0}), omega),
               element_impedance(element(Kind::K, {5.0, 2e-3}), omega));
}

struct SqrtCase {
  Complex z;
  Complex root;
};

class PrincipalSqrt : public testing::TestWithParam<SqrtCase> {};

TEST_P(PrincipalSqrt, BranchRules) {
  const Complex r = principal_sqrt(GetParam().z);
  expect_exact(r, GetParam().root);
  EXPECT_EQ(std::signbit(r.im), std::signbit(GetParam().root.im));
}

INSTANTIATE_TEST_SUITE_P(Table, PrincipalSqrt,
                         testing::Values(SqrtCase{{4.0, 0.0}, {2.0, 0.0}},     //
                                         SqrtCase{{4.0, -0.0}, {2.0, -0.0}},   //
                                         SqrtCase{{-4.0, 0.0}, {0.0, 2.0}},    //
                                         SqrtCase{{-4.0, -0.0}, {0.0, -2.0}},  //
                                         SqrtCase{{-0.0, 0.0}, {0.0, 0.0}},    //
                                         SqrtCase{{0.0, 8.0}, {2.0, 2.0}},     //
                                         SqrtCase{{0.0, -8.0}, {2.0, -2.0}},   //
                                         SqrtCase{{-0.0, 8.0}, {2.0, 2.0}}));

TEST(Saturation, ThresholdIsStrictlyAboveTwenty) {
  // At exactly 20 the formula runs and leaves a tiny imaginary part; just
  // above, the limit is taken and the imaginary part is exactly 0.
  EXPECT_GT(tanh_g({20.0, 0.5}).im, 0.0);
  expect_exact(tanh_g({std::nextafter(20.0, kInf), 0.5}), {1.0, 0.0});
  expect_exact(tanh_g({-400.0, 0.5}), {-1.0, 0.0});
  EXPECT_GT(coth_csch_g({20.0, 0.5}).csch.re, 0.0);
  const CothCsch saturated = coth_csch_g({-21.0, 0.5});
  expect_exact(saturated.coth, {-1.0, 0.0});
  expect_exact(saturated.csch, {0.0, 0.0});
}

struct CodeCase {
  const char* code;
  std::optional<Kind> kind;
};

class DefaultForCode : public testing::TestWithParam<CodeCase> {};

TEST_P(DefaultForCode, CaseSensitiveLookup) {
  const auto found = default_for_code(GetParam().code);
  ASSERT_EQ(found.has_value(), GetParam().kind.has_value());
  if (found) {
    EXPECT_EQ(found->kind, *GetParam().kind);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DefaultForCode,
                         testing::Values(CodeCase{"CPE", Kind::Cpe}, CodeCase{"Cpe", Kind::Cpe},
                                         CodeCase{"TLMQ", Kind::Tlmq}, CodeCase{"Tlmq", Kind::Tlmq},
                                         CodeCase{"Zarc", Kind::Zarc}, CodeCase{"La", Kind::La},
                                         CodeCase{"cpe", std::nullopt}, CodeCase{"ZARC", std::nullopt},
                                         CodeCase{"zarc", std::nullopt}, CodeCase{"TLmq", std::nullopt},
                                         CodeCase{"r", std::nullopt}, CodeCase{"RC", std::nullopt},
                                         CodeCase{"", std::nullopt}));

TEST(Catalogue, EveryCanonicalCodeGivesItsKindAtDefaults) {
  for (std::size_t k = 0; k < kKindCount; ++k) {
    const KindInfo& kind = kKinds[k];
    const auto found = default_for_code(kind.canonical_code);
    ASSERT_TRUE(found.has_value()) << kind.canonical_code;
    EXPECT_EQ(kind_index(found->kind), k);
    EXPECT_EQ(found->params, kind.defaults);
    ASSERT_LE(kind.param_count, kMaxElementParams);
    for (std::size_t i = 0; i < kMaxElementParams; ++i) {
      EXPECT_EQ(kind.fields[i].empty(), i >= kind.param_count) << kind.display_name << " field " << i;
      EXPECT_EQ(kind.units[i].empty(), i >= kind.param_count) << kind.display_name << " unit " << i;
    }
  }
}

TEST(Catalogue, BoundsGoByFieldName) {
  for (const char* field : {"alpha", "gamma"}) {
    EXPECT_EQ(bounds_for(field).lo, 0.0);
    EXPECT_EQ(bounds_for(field).hi, 1.0);
  }
  for (const char* field : {"phi", "k_tau", "r", "q", "Alpha", ""}) {
    EXPECT_EQ(bounds_for(field).lo, 1e-12) << field;
    EXPECT_EQ(bounds_for(field).hi, kInf) << field;
  }
}

// The hoisted phase of a purely imaginary base must not change a single bit
// of cpow's polar form, on or off the fast paths and for any sign of x.
TEST(ImaginaryPower, EqualsCpowBitForBit) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(std::atan2(1.0, 0.0), kHalfPi);
  for (const double x : {1e-300, 1e-9, 0.37, 1.0, 6.283185307179586, 1e7, inf, 0.0, -0.0, -2.5, -inf, nan}) {
    for (const double e : {1.0, 0.5, 0.0, 0.3, 0.85, 0.999, 1.7, -0.2, nan}) {
      const Complex expected = cpow({0.0, x}, e);
      const Complex z = imaginary_power(x, e, imaginary_unit_power(e));
      EXPECT_TRUE(same_bits(z.re, expected.re) && same_bits(z.im, expected.im)) << "x=" << x << " e=" << e;
    }
  }
}

// The many-frequency entry point runs the power-law kinds' pow calls ahead
// of their formulas, in chunks; across chunk edges, on and off the exponent
// fast paths and at frequencies that never reach pow, every sum must get
// exactly what prepared_impedance gives, added to what it held.
TEST(AddPreparedImpedance, AddsTheOneFrequencyValuesBitForBit) {
  constexpr std::size_t kLogSpaced = 150;  // more than two chunks, the last partial
  std::vector<double> omega = {0.0, -0.0, -3.0, 1e-300, 1e12, kInf, -kInf, kNaN};
  for (std::size_t k = 0; k < kLogSpaced; ++k) omega.push_back(std::pow(10.0, -5.0 + 0.07 * static_cast<double>(k)));
  const double start_re = 0.25;
  const double start_im = -1.5;
  for (std::size_t k = 0; k < kKindCount; ++k) {
    for (const double exponent : {0.73, 1.0, 0.5, 0.0, kNaN}) {
      Element e = default_for_code(kKinds[k].canonical_code).value();
      if (kKinds[k].power_field != kNoPowerField) e.params[kKinds[k].power_field] = exponent;
      const PreparedElement prepared = prepare(e);
      std::vector<double> re(omega.size(), start_re);
      std::vector<double> im(omega.size(), start_im);
      add_prepared_impedance(prepared, omega, re, im);
      for (std::size_t i = 0; i < omega.size(); ++i) {
        const Complex z = prepared_impedance(prepared, omega[i]);
        EXPECT_TRUE(same_bits(re[i], start_re + z.re) && same_bits(im[i], start_im + z.im))
            << kKinds[k].display_name << ", exponent " << exponent << ", omega " << omega[i];
      }
    }
  }
}

}  // namespace
}  // namespace kelvra
