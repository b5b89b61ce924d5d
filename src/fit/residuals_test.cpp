#include "fit/residuals.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "circuit/params.h"
#include "fit/fit_test_support.h"
#include "support/worker_pool.h"

namespace kelvra {
namespace {

using fit_testing::circuit_of;
using fit_testing::kInf;
using fit_testing::kNaN;
using fit_testing::log_frequencies;
using fit_testing::synthetic_spectrum;

class ResidualsTest : public ::testing::Test {
 protected:
  const Series circuit = circuit_of("R0-(R1,C1)");
  const std::vector<double> truth = {10.0, 100.0, 1e-4};
  const std::vector<double> params = {12.0, 80.0, 2e-4};
  const Spectrum spectrum = synthetic_spectrum(circuit, truth, log_frequencies(7, -1.0, 4.0));
};

// Model minus measured over the weight: 1 for Unit, the modulus for
// Modulus, with a measured 0 + 0j taking the 1e-30 floor and staying finite.
TEST_F(ResidualsTest, WeightedModelMinusMeasured) {
  Spectrum with_zero = spectrum;
  with_zero.impedances[3] = {0.0, 0.0};
  for (const Weighting weighting : {Weighting::Unit, Weighting::Modulus}) {
    const PreparedSpectrum prepared = PreparedSpectrum::from(with_zero, weighting);
    EvalCounter counter;
    std::vector<double> r(prepared.residual_count());
    residuals(circuit, params, prepared, counter, r);
    for (std::size_t k = 0; k < prepared.point_count(); ++k) {
      const Complex z = series_impedance_with_params(circuit, params, prepared.omega()[k]);
      const Complex m = with_zero.impedances[k];
      const double w = weighting == Weighting::Unit ? 1.0 : k == 3 ? 1e-30 : std::hypot(m.re, m.im);
      EXPECT_EQ(r[2 * k], (z.re - m.re) / w);
      EXPECT_EQ(r[2 * k + 1], (z.im - m.im) / w);
      EXPECT_TRUE(std::isfinite(r[2 * k]) && std::isfinite(r[2 * k + 1]));
    }
  }
}

TEST_F(ResidualsTest, CounterCountsVectorsNotFrequencies) {
  for (const std::size_t points : {0u, 1u, 7u}) {
    Spectrum part{{spectrum.frequencies.begin(), spectrum.frequencies.begin() + points},
                  {spectrum.impedances.begin(), spectrum.impedances.begin() + points}};
    const PreparedSpectrum prepared = PreparedSpectrum::from(part, Weighting::Modulus);
    EvalCounter counter;
    std::vector<double> r(prepared.residual_count());
    residuals(circuit, params, prepared, counter, r);
    EXPECT_EQ(counter.value(), 1u) << points << " points";
    std::vector<double> jacobian(params.size() * r.size());
    jacobian_columns(circuit, params, prepared, counter, jacobian);
    EXPECT_EQ(counter.value(), 1u + 2 * params.size()) << points << " points";
  }
}

TEST(CentralDifferenceStep, RelativeWithAbsoluteFloor) {
  // The step constant is cbrt(eps) to within the last bits of libm's cube root.
  const double cbrt_eps = std::cbrt(DBL_EPSILON);
  for (const auto& [x, step] : {std::pair{1.0, cbrt_eps}, {0.0, cbrt_eps * 1e-8}, {1e-9, cbrt_eps * 1e-8},
                                {-2.0, cbrt_eps * 2.0}, {1e6, cbrt_eps * 1e6}}) {
    EXPECT_NEAR(central_difference_step(x), step, 1e-15 * step) << x;
  }
  EXPECT_TRUE(std::isnan(central_difference_step(kNaN)));
}

// The Jacobian of "R0-(R1,C1)" against its derivatives: dZ/dR0 = 1,
// dZ/dR1 = 1/(1 + jwR1C1)^2, dZ/dC1 = -jwR1^2/(1 + jwR1C1)^2, each divided by
// the point's weight.
TEST_F(ResidualsTest, JacobianMatchesAnalyticDerivatives) {
  for (const Weighting weighting : {Weighting::Unit, Weighting::Modulus}) {
    const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, weighting);
    const std::size_t m = prepared.residual_count();
    EvalCounter counter;
    std::vector<double> jacobian(params.size() * m);
    jacobian_columns(circuit, params, prepared, counter, jacobian);

    const double r1 = params[1];
    const double c1 = params[2];
    for (std::size_t k = 0; k < prepared.point_count(); ++k) {
      const double w = prepared.omega()[k];
      const Complex denominator = Complex{1.0, w * r1 * c1} * Complex{1.0, w * r1 * c1};
      const std::vector<Complex> derivatives = {
          {1.0, 0.0},
          quotient({1.0, 0.0}, denominator),
          quotient({0.0, -w * r1 * r1}, denominator),
      };
      for (std::size_t j = 0; j < params.size(); ++j) {
        const Complex d = (1.0 / prepared.weights()[k]) * derivatives[j];
        const double scale = std::hypot(d.re, d.im);
        EXPECT_NEAR(jacobian[j * m + 2 * k], d.re, 1e-7 * scale) << "column " << j << " point " << k;
        EXPECT_NEAR(jacobian[j * m + 2 * k + 1], d.im, 1e-7 * scale) << "column " << j << " point " << k;
      }
    }
  }
}

TEST_F(ResidualsTest, ParameterOutsideTheModelHasAZeroColumn) {
  const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, Weighting::Modulus);
  const std::size_t m = prepared.residual_count();
  // Values past param_count are never read by the model.
  std::vector<double> extended = params;
  extended.push_back(3.5);
  EvalCounter counter;
  std::vector<double> jacobian(extended.size() * m);
  jacobian_columns(circuit, extended, prepared, counter, jacobian);
  for (std::size_t i = 0; i < m; ++i) EXPECT_EQ(jacobian[3 * m + i], 0.0);
}

// The same central difference, one column after another on this thread.
std::vector<double> serial_jacobian(const Series& circuit, const std::vector<double>& params,
                                    const PreparedSpectrum& data) {
  const std::size_t m = data.residual_count();
  std::vector<double> out(params.size() * m);
  std::vector<double> plus(m);
  std::vector<double> minus(m);
  EvalCounter counter;
  for (std::size_t j = 0; j < params.size(); ++j) {
    std::vector<double> x = params;
    const double h = central_difference_step(params[j]);
    x[j] = params[j] + h;
    residuals(circuit, x, data, counter, plus);
    x[j] = params[j] - h;
    residuals(circuit, x, data, counter, minus);
    for (std::size_t i = 0; i < m; ++i) out[j * m + i] = (plus[i] - minus[i]) / (h + h);
  }
  return out;
}

// Equal bits, so that -0.0 differs from +0.0, except that any NaN matches
// any NaN: where both operands of an addition are NaN the result carries
// the sign and payload of one of them, and which one depends on the operand
// order the compiler chose for that loop, not on the arithmetic. Reports the
// first difference.
::testing::AssertionResult same_bits(const std::vector<double>& actual, const std::vector<double>& expected) {
  if (actual.size() != expected.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (std::isnan(actual[i]) && std::isnan(expected[i])) continue;
    if (std::bit_cast<std::uint64_t>(actual[i]) != std::bit_cast<std::uint64_t>(expected[i])) {
      return ::testing::AssertionFailure() << "entry " << i << ": " << actual[i] << " vs " << expected[i];
    }
  }
  return ::testing::AssertionSuccess();
}

struct JacobianCase {
  std::string circuit;
  double exponent;  // every alpha and gamma
};

// The circuit with an empty group appended and a group of an empty branch
// and a resistor in front: shapes the grammar cannot write.
Series with_empty_groups(Series series) {
  series.emplace_back().value.emplace<ParallelGroup>();
  Node shorted;
  shorted.value.emplace<ParallelGroup>().branches = {Series{}, circuit_of("R9")};
  series.insert(series.begin(), std::move(shorted));
  return series;
}

// Distinct values, exponent fields set to `exponent`, with a parameter at 0
// and a negative one among the magnitudes.
std::vector<double> case_params(const Series& circuit, double exponent) {
  const std::vector<Bounds> bounds = param_bounds(circuit);
  constexpr double kExponentUpper = 1.0;
  constexpr std::size_t kZeroAt = 2;
  constexpr std::size_t kNegativeAt = 3;
  std::vector<double> params;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    const double magnitude = 0.3 + 0.11 * static_cast<double>(i % 7);
    params.push_back(bounds[i].hi == kExponentUpper ? exponent : magnitude);
  }
  if (params.size() > kNegativeAt) {
    params[kZeroAt] = 0.0;
    params[kNegativeAt] = -params[kNegativeAt];
  }
  return params;
}

// More than one block of the spectrum program, then the frequencies every
// leaf formula must survive.
std::vector<double> case_frequencies() {
  std::vector<double> f = log_frequencies(70, -3.0, 6.0);
  for (const double special : {0.0, -5.0, kInf, -kInf, kNaN}) f.push_back(special);
  return f;
}

class JacobianBits : public ::testing::TestWithParam<JacobianCase> {};

// The Jacobian reuses the unperturbed leaves and re-evaluates one leaf per
// column, yet must give exactly the central difference of two full residual
// vectors: for the parameters as given, with one ignored value past the end
// and (a caller error) one value short, whose missing value reads as NaN.
TEST_P(JacobianBits, EqualsTwoResidualVectorsPerColumn) {
  for (const bool grouped : {false, true}) {
    const Series parsed = circuit_of(GetParam().circuit);
    const Series circuit = grouped ? with_empty_groups(parsed) : parsed;
    const std::vector<double> params = case_params(circuit, GetParam().exponent);
    std::vector<double> truth = params;
    for (double& v : truth) v *= 1.25;
    const Spectrum spectrum = synthetic_spectrum(circuit, truth, case_frequencies());
    const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, Weighting::Modulus);

    std::vector<double> extended = params;
    extended.push_back(2.5);
    const std::vector<double> short_params(params.begin(), params.end() - 1);
    for (const std::vector<double>& x : {params, extended, short_params}) {
      EvalCounter counter;
      std::vector<double> jacobian(x.size() * prepared.residual_count());
      jacobian_columns(circuit, x, prepared, counter, jacobian);
      EXPECT_TRUE(same_bits(jacobian, serial_jacobian(circuit, x, prepared)))
          << GetParam().circuit << (grouped ? " with empty groups, " : ", ") << x.size() << " values";
      EXPECT_EQ(counter.value(), 2 * x.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKindAndExponent, JacobianBits,
                         ::testing::Values(JacobianCase{"L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3", 0.73},
                                           JacobianCase{"L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3", 1.0},
                                           JacobianCase{"L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3", 0.5},
                                           JacobianCase{"L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3", 0.0},
                                           JacobianCase{"(Ws4,G5,(Gs6,K7-(Tlmq8,T9)))-C10", 0.73},
                                           JacobianCase{"(Ws4,G5,(Gs6,K7-(Tlmq8,T9)))-C10", 1.0},
                                           JacobianCase{"(Ws4,G5,(Gs6,K7-(Tlmq8,T9)))-C10", 0.5},
                                           JacobianCase{"(Ws4,G5,(Gs6,K7-(Tlmq8,T9)))-C10", 0.0},
                                           JacobianCase{"R0", 0.73}));

// Column order and every bit of every column are independent of which
// thread computed it, whether the caller is a plain thread, one of several
// callers at once, or a pool task, and whether the problem is small enough
// for the calling thread alone or large enough for the pool.
TEST(Jacobian, ParallelEqualsSerialBitForBit) {
  const Series circuit = circuit_of("L0-R0-(R1,C1)-(R2-W2,CPE2)");
  const std::vector<double> params = {1e-6, 5.0, 40.0, 2e-5, 30.0, 12.0, 3e-3, 0.8};
  constexpr std::size_t kSmall = 50;
  const std::size_t large = kParallelJacobianWork / params.size() + 1;
  for (const std::size_t points : {kSmall, large}) {
    SCOPED_TRACE(points);
    const Spectrum spectrum = synthetic_spectrum(circuit, params, log_frequencies(points, -2.0, 5.0));
    const PreparedSpectrum data = PreparedSpectrum::from(spectrum, Weighting::Modulus);
    const std::vector<double> expected = serial_jacobian(circuit, params, data);

    const auto compute = [&] {
      EvalCounter counter;
      std::vector<double> jacobian(expected.size());
      jacobian_columns(circuit, params, data, counter, jacobian);
      return jacobian;
    };
    EXPECT_EQ(compute(), expected);

    constexpr std::size_t kCallers = 3;
    std::vector<std::vector<double>> from_threads(kCallers);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kCallers; ++t) threads.emplace_back([&, t] { from_threads[t] = compute(); });
    for (std::thread& t : threads) t.join();
    for (const std::vector<double>& j : from_threads) EXPECT_EQ(j, expected);

    std::vector<std::vector<double>> from_pool(worker_count());
    parallel_for(from_pool.size(), [&](std::size_t t) { from_pool[t] = compute(); });
    for (const std::vector<double>& j : from_pool) EXPECT_EQ(j, expected);
  }
}

struct AnalyticCase {
  const char* circuit;
  double exponent;
};

class AnalyticJacobian : public ::testing::TestWithParam<AnalyticCase> {};

// The chain rule through nested groups, times each kind's derivatives (in
// closed form or by differencing the leaf alone), agrees with the central
// difference of whole residual vectors within the latter's truncation error,
// and counts as one evaluation.
TEST_P(AnalyticJacobian, AgreesWithCentralDifferences) {
  const Series circuit = circuit_of(GetParam().circuit);
  const std::vector<Bounds> bounds = param_bounds(circuit);
  std::vector<double> params;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    params.push_back(bounds[i].hi == 1.0 ? GetParam().exponent : 0.3 + 0.11 * static_cast<double>(i % 7));
  }
  std::vector<double> truth = params;
  for (double& v : truth) v *= 1.1;
  const Spectrum spectrum = synthetic_spectrum(circuit, truth, log_frequencies(40, -3.0, 5.0));
  const PreparedSpectrum data = PreparedSpectrum::from(spectrum, Weighting::Modulus);
  const std::size_t m = data.residual_count();

  EvalCounter central_counter;
  std::vector<double> central(params.size() * m);
  jacobian_columns(circuit, params, data, central_counter, central);
  EvalCounter counter;
  std::vector<double> analytic(central.size());
  analytic_jacobian_columns(circuit, params, data, counter, analytic);
  EXPECT_EQ(counter.value(), 1u);

  for (std::size_t j = 0; j < params.size(); ++j) {
    double scale = 0.0;
    for (std::size_t i = 0; i < m; ++i) scale = std::max(scale, std::abs(central[j * m + i]));
    for (std::size_t i = 0; i < m; ++i) {
      ASSERT_NEAR(analytic[j * m + i], central[j * m + i], 1e-7 * scale)
          << GetParam().circuit << " column " << j << " row " << i;
    }
  }
}

// A run's residuals and Jacobian share their leaves: the residuals keep the
// bits of residuals(), and the Jacobian those of a fresh one, whether it
// reuses the leaves of the same point or is taken elsewhere.
TEST_P(AnalyticJacobian, SharedLeavesGiveTheBitsOfFreshOnes) {
  const Series circuit = circuit_of(GetParam().circuit);
  std::vector<double> params = param_values(circuit);
  for (std::size_t j = 0; j < params.size(); ++j) params[j] *= 1.0 + 0.01 * static_cast<double>(j);
  std::vector<double> elsewhere = params;
  elsewhere[0] *= 1.5;
  const Spectrum spectrum = synthetic_spectrum(circuit, param_values(circuit), log_frequencies(20, -2.0, 4.0));
  const PreparedSpectrum data = PreparedSpectrum::from(spectrum, Weighting::Modulus);
  const std::size_t m = data.residual_count();

  EvalCounter fresh_counter;
  std::vector<double> expected_r(m);
  residuals(circuit, params, data, fresh_counter, expected_r);
  std::vector<double> expected_j(params.size() * m);
  analytic_jacobian_columns(circuit, params, data, fresh_counter, expected_j);

  AnalyticPoint point;
  EvalCounter counter;
  std::vector<double> r(m);
  std::vector<double> jacobian(expected_j.size());
  point.residuals(circuit, params, data, counter, r);
  EXPECT_TRUE(same_bits(r, expected_r));
  point.jacobian(circuit, params, data, counter, jacobian);
  EXPECT_TRUE(same_bits(jacobian, expected_j));
  point.residuals(circuit, elsewhere, data, counter, r);
  point.jacobian(circuit, params, data, counter, jacobian);
  EXPECT_TRUE(same_bits(jacobian, expected_j));
  EXPECT_EQ(counter.value(), 4u);
}

INSTANTIATE_TEST_SUITE_P(EveryKindNested, AnalyticJacobian,
                         ::testing::Values(AnalyticCase{"L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3", 0.73},
                                           AnalyticCase{"L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3", 1.0},
                                           AnalyticCase{"L0-R0-(R1,CPE1-(W1,Zarc1))-La2-Wo3", 0.5},
                                           AnalyticCase{"(Ws4,G5,(Gs6,K7-(Tlmq8,T9)))-C10", 0.73},
                                           AnalyticCase{"(Ws4,G5,(Gs6,K7-(Tlmq8,T9)))-C10", 1.0},
                                           AnalyticCase{"R0-(R1,C1)-(R2,C2,(R3,L3))", 0.9}));

}  // namespace
}  // namespace kelvra
