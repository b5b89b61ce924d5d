#include "fit/fit_outcome.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "circuit/params.h"
#include "fit/fit_test_support.h"

namespace kelvra {
namespace {

using fit_testing::circuit_of;
using fit_testing::log_frequencies;
using fit_testing::synthetic_spectrum;

TEST(FitErrorDisplay, ExactMessages) {
  const std::vector<std::pair<FitError, std::string>> cases = {
      {fit_error::LengthMismatch{}, "frequencies and impedances must have the same length"},
      {fit_error::EmptyData{}, "frequencies and impedances must not be empty"},
      {fit_error::NoParameters{}, "circuit topology has no parameters to fit"},
      {fit_error::Solver{"particle swarm found no best position"},
       "solver error: particle swarm found no best position"},
      {fit_error::UnknownMethod{"lm\"x"},
       "unknown fit method \"lm\\\"x\", expected one of \"levenberg_marquardt\", \"particle_swarm\", "
       "\"nelder_mead\", \"differential_evolution\", \"simulated_annealing\", \"basin_hopping\""},
      {fit_error::InvalidSetting{"ftol must be >= 0"}, "ftol must be >= 0"},
  };
  for (const auto& [error, message] : cases) EXPECT_EQ(display(error), message);
}

// A lone resistor fitted to K points with unit weights: every Jacobian
// column entry is 1 (real rows) or 0 (imaginary rows), so J^T J = K and
// stderr = sqrt(S / (2K - 1) / K).
TEST(BuildOutcome, StatisticsOfALinearModel) {
  const Series circuit = circuit_of("R0");
  const Spectrum spectrum{{1.0, 10.0, 100.0}, {{9.0, 0.5}, {10.5, -0.25}, {11.0, 0.0}}};
  const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, Weighting::Unit);
  EvalCounter counter;
  counter.add(5);
  const std::vector<double> params = {10.0};
  const FitOutcome outcome = build_outcome(circuit, params, true, 17, prepared, counter);

  const double sum_of_squares = 1.0 + 0.25 + 0.25 + 0.0625 + 1.0 + 0.0;
  EXPECT_DOUBLE_EQ(outcome.cost, 0.5 * sum_of_squares);
  EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
  ASSERT_TRUE(outcome.std_errors.has_value());
  // The finite-difference column is 1 only to rounding.
  const double expected = std::sqrt(sum_of_squares / 5.0 / 3.0);
  EXPECT_NEAR((*outcome.std_errors)[0], expected, 1e-9 * expected);
  EXPECT_EQ(outcome.param_names, std::vector<std::string>{"R0.r"});
  EXPECT_EQ(outcome.params, params);
  EXPECT_EQ(param_values(outcome.circuit), params);
  EXPECT_EQ(outcome.iterations, 17u);
  EXPECT_TRUE(outcome.success);
  // One residual vector for the cost and 2n for the Jacobian, on top of
  // what the counter held.
  EXPECT_EQ(outcome.impedance_evals, 5u + 1u + 2u);
}

TEST(BuildOutcome, ClampsToBoundsAndCostsTheClampedPoint) {
  const Series circuit = circuit_of("R0-(R1,CPE1)");
  const std::vector<double> truth = {10.0, 100.0, 1e-4, 0.9};
  const Spectrum spectrum = synthetic_spectrum(circuit, truth, log_frequencies(20, -1.0, 4.0));
  const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, Weighting::Modulus);
  EvalCounter counter;
  const std::vector<double> outside = {-3.0, 100.0, 1e-4, 1.5};
  const FitOutcome outcome = build_outcome(circuit, outside, true, 0, prepared, counter);

  const std::vector<double> clamped = {1e-12, 100.0, 1e-4, 1.0};
  EXPECT_EQ(outcome.params, clamped);
  EXPECT_EQ(param_values(outcome.circuit), clamped);
  std::vector<double> r(prepared.residual_count());
  EvalCounter scratch_counter;
  EXPECT_EQ(outcome.cost, cost_at(circuit, clamped, prepared, scratch_counter, r));
  EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
}

// dof = 2K - n: no standard errors at 2K <= n, present from 2K = n + 1.
TEST(BuildOutcome, StandardErrorsNeedDegreesOfFreedom) {
  const Series circuit = circuit_of("R0-(R1,C1)");
  const std::vector<double> params = {10.0, 100.0, 1e-4};
  struct Case {
    std::size_t points;
    bool has_std_errors;
  };
  for (const Case& c : {Case{1, false}, Case{2, true}, Case{10, true}}) {
    const Spectrum truth = synthetic_spectrum(circuit, params, log_frequencies(c.points, 1.0, 3.0));
    Spectrum noisy = truth;
    for (Complex& z : noisy.impedances) z = 1.01 * z;
    const PreparedSpectrum prepared = PreparedSpectrum::from(noisy, Weighting::Modulus);
    EvalCounter counter;
    const FitOutcome outcome = build_outcome(circuit, params, true, 0, prepared, counter);
    EXPECT_EQ(outcome.std_errors.has_value(), c.has_std_errors) << c.points << " points";
    EXPECT_TRUE(std::isfinite(outcome.cost));
  }
}

// With phi = 100 the Gerischer's tanh(phi s) is saturated to exactly 1, so
// phi has no influence: its Jacobian column is zero and J^T J exactly
// singular. No standard errors, but everything else is reported.
TEST(BuildOutcome, SingularNormalMatrixLeavesStdErrorsAbsent) {
  const Series circuit = circuit_of("Gs0");
  const std::vector<double> params = {5.0, 0.01, 100.0};
  Spectrum spectrum = synthetic_spectrum(circuit, params, log_frequencies(4, 0.0, 3.0));
  for (Complex& z : spectrum.impedances) z = 1.1 * z;
  const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, Weighting::Modulus);
  EvalCounter counter;
  const FitOutcome outcome = build_outcome(circuit, params, true, 0, prepared, counter);
  EXPECT_FALSE(outcome.std_errors.has_value());
  EXPECT_EQ(outcome.params, params);
  EXPECT_GT(outcome.cost, 0.0);
  EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
}

// A method that claims convergence where the cost is NaN (a zero frequency
// makes the capacitor's impedance 1/0) is not reported as a success.
TEST(BuildOutcome, NonFiniteCostIsNeverASuccess) {
  const Series circuit = circuit_of("R0-(R1,C1)");
  const std::vector<double> params = {10.0, 100.0, 1e-4};
  const Spectrum spectrum = synthetic_spectrum(circuit, params, {0.0, 1.0, 10.0});
  const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, Weighting::Modulus);
  EvalCounter counter;
  const FitOutcome outcome = build_outcome(circuit, params, true, 0, prepared, counter);
  EXPECT_TRUE(std::isnan(outcome.cost));
  EXPECT_TRUE(std::isnan(outcome.chi_square));
  EXPECT_FALSE(outcome.success);
}

// A global method's answer is a success by construction; an infinite
// parameter (reached by a scrambled spectrum) must still not be one, even
// where the element's impedance has a finite limit and the cost is finite.
TEST(BuildOutcome, NonFiniteParameterIsNeverASuccess) {
  const Series circuit = circuit_of("R0-Gs1");
  const std::vector<double> truth = {10.0, 100.0, 1.0, 0.5};
  const Spectrum spectrum = synthetic_spectrum(circuit, truth, {0.1, 1.0, 10.0, 100.0});
  const PreparedSpectrum prepared = PreparedSpectrum::from(spectrum, Weighting::Modulus);
  EvalCounter counter;
  const std::vector<double> infinite_phi = {10.0, 100.0, 1.0, std::numeric_limits<double>::infinity()};
  const FitOutcome outcome = build_outcome(circuit, infinite_phi, true, 0, prepared, counter);
  EXPECT_FALSE(std::isfinite(outcome.params[3]));
  EXPECT_TRUE(std::isfinite(outcome.cost));
  EXPECT_FALSE(outcome.success);
  const FitOutcome finite = build_outcome(circuit, truth, true, 0, prepared, counter);
  EXPECT_TRUE(finite.success);
}

}  // namespace
}  // namespace kelvra
