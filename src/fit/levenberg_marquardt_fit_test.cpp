#include "fit/levenberg_marquardt_fit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "circuit/params.h"
#include "fit/fit_test_support.h"

namespace kelvra {
namespace {

using fit_testing::circuit_of;
using fit_testing::kNaN;
using fit_testing::log_frequencies;
using fit_testing::synthetic_spectrum;

struct RecoveryCase {
  const char* circuit;
  std::vector<double> truth;
  std::vector<double> start;  // every value within a factor 3 of the truth
};

class Recovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(Recovery, NoiselessSpectrumRecoversTheTruth) {
  const RecoveryCase& c = GetParam();
  const Series circuit = circuit_of(c.circuit);
  const Spectrum spectrum = synthetic_spectrum(circuit, c.truth, log_frequencies(40, -2.0, 5.0));
  const Result<FitOutcome, FitError> fitted =
      levenberg_marquardt_fit(rebuild(circuit, c.start), spectrum, Weighting::Modulus, LmSettings{});
  ASSERT_TRUE(fitted.ok()) << display(fitted.error());
  const FitOutcome& outcome = fitted.value();
  EXPECT_TRUE(outcome.success);
  ASSERT_EQ(outcome.params.size(), c.truth.size());
  for (std::size_t j = 0; j < c.truth.size(); ++j) {
    EXPECT_NEAR(outcome.params[j], c.truth[j], 1e-6 * std::abs(c.truth[j])) << outcome.param_names[j];
  }
  EXPECT_LT(outcome.cost, 1e-12);
  EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
  EXPECT_TRUE(outcome.std_errors.has_value());
  EXPECT_EQ(param_values(outcome.circuit), outcome.params);
  const std::uint64_t n = c.truth.size();
  // Nine candidate costs, at least one run start, and the final statistics.
  EXPECT_GE(outcome.impedance_evals, 9 + 1 + 1 + 2 * n);
  EXPECT_GE(outcome.iterations, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, Recovery,
    ::testing::Values(RecoveryCase{"R0-(R1,C1)", {10.0, 100.0, 1e-4}, {25.0, 40.0, 2.5e-4}},
                      RecoveryCase{"R0-(R1,CPE1)", {10.0, 100.0, 1e-4, 0.85}, {4.0, 250.0, 4e-5, 0.6}},
                      RecoveryCase{"R0-(R1-W1,CPE1)", {10.0, 100.0, 30.0, 1e-4, 0.85}, {20.0, 50.0, 80.0, 2e-4, 0.7}},
                      RecoveryCase{"L0-R0-(R1,C1)-(R2,C2)",
                                   {1e-6, 10.0, 100.0, 1e-5, 50.0, 1e-3},
                                   {2e-6, 5.0, 250.0, 2e-5, 25.0, 2e-3}}));

TEST(LevenbergMarquardtFit, RejectsBadDataInOrder) {
  const Series circuit = circuit_of("R0-(R1,C1)");
  const Series empty;
  struct Case {
    const Series* circuit;
    Spectrum spectrum;
    std::string message;
  };
  const std::vector<Case> cases = {
      {&empty, {{1.0, 2.0}, {{1.0, 0.0}}}, "frequencies and impedances must have the same length"},
      {&empty, {{}, {}}, "frequencies and impedances must not be empty"},
      {&empty, {{1.0}, {{1.0, 0.0}}}, "circuit topology has no parameters to fit"},
      {&circuit, {{1.0, 2.0}, {}}, "frequencies and impedances must have the same length"},
  };
  for (const Case& c : cases) {
    const Result<FitOutcome, FitError> fitted =
        levenberg_marquardt_fit(*c.circuit, c.spectrum, Weighting::Modulus, LmSettings{});
    ASSERT_FALSE(fitted.ok());
    EXPECT_EQ(display(fitted.error()), c.message);
  }
}

TEST(LevenbergMarquardtFit, TolerancesWithTheSignBitSetAreRejected) {
  const Series circuit = circuit_of("R0-(R1,C1)");
  const Spectrum spectrum = synthetic_spectrum(circuit, std::vector{10.0, 100.0, 1e-4}, log_frequencies(5, 0.0, 3.0));
  struct Case {
    double ftol;
    double xtol;
    const char* message;  // nullptr: accepted
  };
  for (const Case& c : {Case{-0.0, 1e-8, "ftol must be >= 0"}, Case{1e-8, -1.0, "xtol must be >= 0"},
                        Case{-1.0, -1.0, "ftol must be >= 0"}, Case{-kNaN, 1e-8, "ftol must be >= 0"},
                        Case{0.0, 0.0, nullptr}}) {
    LmSettings settings;
    settings.ftol = c.ftol;
    settings.xtol = c.xtol;
    const Result<FitOutcome, FitError> fitted = levenberg_marquardt_fit(circuit, spectrum, Weighting::Modulus, settings);
    if (c.message == nullptr) {
      EXPECT_TRUE(fitted.ok());
      continue;
    }
    ASSERT_FALSE(fitted.ok());
    EXPECT_TRUE(std::holds_alternative<fit_error::InvalidSetting>(fitted.error()));
    EXPECT_EQ(display(fitted.error()), c.message);
  }
}

// Data whose best CPE exponent lies beyond its upper bound of 1: the fit
// must report the exponent exactly on the bound, with the other parameters
// refitted around it and everything finite.
TEST(LevenbergMarquardtFit, ParameterPushedPastItsBoundEndsOnIt) {
  const Series circuit = circuit_of("R0-(R1,CPE1)");
  const Spectrum spectrum =
      synthetic_spectrum(circuit, std::vector{10.0, 100.0, 1e-4, 1.2}, log_frequencies(30, -1.0, 4.0));
  const Result<FitOutcome, FitError> fitted = levenberg_marquardt_fit(
      rebuild(circuit, std::vector{10.0, 100.0, 1e-4, 0.9}), spectrum, Weighting::Modulus, LmSettings{});
  ASSERT_TRUE(fitted.ok());
  const FitOutcome& outcome = fitted.value();
  EXPECT_EQ(outcome.params[3], 1.0);
  EXPECT_TRUE(std::isfinite(outcome.cost));
  for (std::size_t j = 0; j < 3; ++j) EXPECT_GT(outcome.params[j], 0.0);
}

// One point and three parameters: fewer residuals than parameters.
TEST(LevenbergMarquardtFit, FewerResidualsThanParameters) {
  const Series circuit = circuit_of("R0-(R1,C1)");
  const Spectrum spectrum = synthetic_spectrum(circuit, std::vector{10.0, 100.0, 1e-4}, {100.0});
  const Result<FitOutcome, FitError> fitted = levenberg_marquardt_fit(
      rebuild(circuit, std::vector{20.0, 50.0, 2e-4}), spectrum, Weighting::Modulus, LmSettings{});
  ASSERT_TRUE(fitted.ok());
  EXPECT_FALSE(fitted.value().std_errors.has_value());
  EXPECT_EQ(fitted.value().params.size(), 3u);
  EXPECT_TRUE(std::isfinite(fitted.value().cost));
}

bool any_nan(const std::vector<double>& values) {
  return std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

// Data the model cannot reproduce finitely anywhere: every cost is NaN. The
// fit must finish, show the NaN in its cost and not claim success.
TEST(LevenbergMarquardtFit, NonFiniteDataNeverCrashesNorSucceeds) {
  const Series circuit = circuit_of("R0-(R1,C1)");
  const std::vector<double> truth = {10.0, 100.0, 1e-4};
  Spectrum zero_frequency = synthetic_spectrum(circuit, truth, {0.0, 1.0, 10.0, 100.0});
  zero_frequency.impedances[0] = {10.0, 0.0};
  Spectrum nan_measured = synthetic_spectrum(circuit, truth, {1.0, 10.0, 100.0});
  nan_measured.impedances[1] = {kNaN, 0.0};
  for (const Spectrum& spectrum : {zero_frequency, nan_measured}) {
    const Result<FitOutcome, FitError> fitted =
        levenberg_marquardt_fit(circuit, spectrum, Weighting::Modulus, LmSettings{});
    ASSERT_TRUE(fitted.ok());
    const FitOutcome& outcome = fitted.value();
    EXPECT_FALSE(std::isfinite(outcome.cost));
    EXPECT_FALSE(outcome.success);
    EXPECT_FALSE(outcome.success && any_nan(outcome.params));
  }
}

// Regression: a start whose exponent is NaN gives NaN costs, and on x86 such
// a NaN sorts before every finite cost, so its run comes first. Its NaN
// result must not shut out the finite results of the later starts, which
// spread the exponent over its range.
TEST(LevenbergMarquardtFit, NanFirstResultDoesNotHideFiniteOnes) {
  const Series circuit = circuit_of("R0-(R1,CPE1)");
  const Spectrum spectrum =
      synthetic_spectrum(circuit, std::vector{10.0, 100.0, 1e-4, 0.85}, log_frequencies(30, -1.0, 4.0));
  const Result<FitOutcome, FitError> fitted = levenberg_marquardt_fit(
      rebuild(circuit, std::vector{10.0, 100.0, 1e-4, kNaN}), spectrum, Weighting::Modulus, LmSettings{});
  ASSERT_TRUE(fitted.ok());
  EXPECT_TRUE(std::isfinite(fitted.value().cost));
  EXPECT_FALSE(any_nan(fitted.value().params));
}

// Regression: keeping the clamped start once cost every candidate one
// evaluation more than the counts of the multi-start fit allow. An exact
// start converges in its first run and is plausible, so the evaluations
// beyond the run's are the nine candidate costs, the clamped end point's
// cost and the final statistics (1 + 2n), plus whole Jacobians (2n each).
// The settings of the "settled" early-stop rule.
LmSettings settling() {
  LmSettings settings;
  settings.settle_window = kSettleWindow;
  settings.settle_tolerance = kSettleTolerance;
  settings.settle_tolerance_beyond_bounds = kSettleToleranceBeyondBounds;
  return settings;
}

// The settings of the "lagging" early-stop rule (with joining paths).
LmSettings lagging() {
  LmSettings settings = settling();
  settings.lag_window = kLagWindow;
  return settings;
}

TEST(LevenbergMarquardtFit, ExactStartCountsNoEvaluationBeyondTheSpecifiedOnes) {
  const Series circuit = circuit_of("R0-(R1,CPE1)");
  const std::vector<double> truth = {10.0, 100.0, 1e-4, 0.85};
  const Spectrum spectrum = synthetic_spectrum(circuit, truth, log_frequencies(30, -1.0, 4.0));
  for (const LmSettings& settings : {LmSettings{}, settling()}) {
    const Result<FitOutcome, FitError> fitted =
        levenberg_marquardt_fit(rebuild(circuit, truth), spectrum, Weighting::Modulus, settings);
    ASSERT_TRUE(fitted.ok());
    const FitOutcome& outcome = fitted.value();
    const std::uint64_t n = truth.size();
    const std::uint64_t fixed = 9 + 1 + 1 + 2 * n;
    ASSERT_GE(outcome.impedance_evals, outcome.iterations + fixed);
    EXPECT_EQ((outcome.impedance_evals - outcome.iterations - fixed) % (2 * n), 0u)
        << outcome.impedance_evals << " evaluations, " << outcome.iterations << " in the run";
  }
}

// The first exponent of a two-arc spectrum under a 1 % pattern of
// pseudo-noise is 1 (an ideal capacitor) or past what the element can take;
// runs cross its bound and creep on beyond it. The settled rule ends them
// there at its looser tolerance, and the second runs, holding the exponent
// on the bound, finish the fit: the answer of runs that settle beyond the
// bound as they would inside it, for a fifth fewer evaluations or more.
TEST(LevenbergMarquardtFit, RunsBeyondABoundSettleSoonerForTheSameAnswer) {
  const Series circuit = circuit_of("R0-(R1,CPE1)-(R2,CPE2)");
  const Series start = rebuild(circuit, std::vector{13.0, 70.0, 1.5e-4, 0.95, 60.0, 6e-4, 0.8});
  LmSettings everywhere_alike = settling();
  everywhere_alike.settle_tolerance_beyond_bounds = kSettleTolerance;
  for (const double exponent : {1.0, 1.1}) {
    Spectrum spectrum = synthetic_spectrum(circuit, std::vector{10.0, 100.0, 1e-4, exponent, 30.0, 1e-3, 0.85},
                                           log_frequencies(50, -2.0, 5.0));
    for (std::size_t k = 0; k < spectrum.impedances.size(); ++k) {
      const double x = static_cast<double>(k);
      const Complex noise{0.01 * (std::sin(1.7 * x) + 0.7 * std::sin(5.3 * x + 1.0)),
                          0.01 * (std::cos(2.21 * x) - 0.6 * std::sin(3.1 * x))};
      spectrum.impedances[k] = spectrum.impedances[k] * (Complex{1.0, 0.0} + noise);
    }
    const FitOutcome alike = levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, everywhere_alike).value();
    const FitOutcome beyond = levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, settling()).value();
    EXPECT_EQ(beyond.params[3], 1.0) << exponent;
    EXPECT_LT(beyond.impedance_evals * 5, alike.impedance_evals * 4) << exponent;
    EXPECT_NEAR(beyond.cost, alike.cost, 1e-9 * alike.cost) << exponent;
  }
}

// On exact data a converging run gains far more than the settle tolerance in
// every window, and its first start is plausible, so neither the settled nor
// the joining rule leaves the full rule's path.
TEST_P(Recovery, EarlyStopRulesAgreeWithTheFullRule) {
  const RecoveryCase& c = GetParam();
  const Series circuit = circuit_of(c.circuit);
  const Spectrum spectrum = synthetic_spectrum(circuit, c.truth, log_frequencies(40, -2.0, 5.0));
  const Series start = rebuild(circuit, c.start);
  const FitOutcome full = levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, LmSettings{}).value();
  for (const LmStarts starts : {LmStarts::UntilPlausible, LmStarts::UntilPlausibleJoiningPaths}) {
    for (const LmSettings& settings : {settling(), lagging()}) {
      const FitOutcome stopped = levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, settings, starts).value();
      EXPECT_EQ(stopped.params, full.params);
      EXPECT_EQ(stopped.impedance_evals, full.impedance_evals);
    }
  }
}

// One arc with a 1 % ripple, fitted by two arcs: the second arc can vanish
// in many ways and no result is plausible, so every start runs.
class RippledOneArc : public ::testing::Test {
 protected:
  RippledOneArc() {
    const Series one_arc = circuit_of("R0-(R1,CPE1)");
    spectrum = synthetic_spectrum(one_arc, std::vector{10.0, 100.0, 1e-4, 0.85}, log_frequencies(30, -1.0, 4.0));
    for (std::size_t k = 0; k < spectrum.impedances.size(); ++k) {
      const double x = static_cast<double>(k);
      spectrum.impedances[k] = spectrum.impedances[k] * Complex{1.0 + 0.01 * std::sin(1.7 * x), 0.01 * std::cos(2.21 * x)};
    }
  }

  FitOutcome fit(const LmSettings& settings, LmStarts starts = LmStarts::UntilPlausible) const {
    return levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, settings, starts).value();
  }

  Spectrum spectrum;
  const Series start =
      rebuild(circuit_of("R0-(R1,CPE1)-(R2,CPE2)"), std::vector{10.0, 50.0, 1e-4, 0.8, 50.0, 1e-3, 0.8});
};

// One run crawls for tens of thousands of evaluations towards the second
// arc's disappearance. The settled rule ends that crawl: a small share of
// the evaluations, and a chi-square within a tenth of a percent, below what
// the ripple (1 / (2K - n) of chi-square, about 2 %, per unit) could tell
// apart.
TEST_F(RippledOneArc, SettledRuleEndsACrawlAtNearlyTheSameCost) {
  const FitOutcome full = fit(LmSettings{});
  const FitOutcome settled = fit(settling());
  EXPECT_LT(settled.impedance_evals * 10, full.impedance_evals);
  EXPECT_NEAR(settled.cost, full.cost, 1e-3 * full.cost);
}

// Two arcs, the first nearly ideal, under a 1 % pattern of pseudo-noise:
// the first exponent ends on its bound from every start, so no result is
// plausible, and several starts run down the same valley to the same few
// ends. The joining rule passes over the runs that reach an earlier run's
// path, the lagging rule also those heading for no better than the best so
// far, for the same answer.
TEST(LevenbergMarquardtFit, JoiningAndLaggingRulesSaveRunsForTheSameAnswer) {
  const Series circuit = circuit_of("R0-(R1,CPE1)-(R2,CPE2)");
  Spectrum spectrum =
      synthetic_spectrum(circuit, std::vector{10.0, 100.0, 1e-4, 0.99, 30.0, 1e-3, 0.85}, log_frequencies(50, -2.0, 5.0));
  for (std::size_t k = 0; k < spectrum.impedances.size(); ++k) {
    const double x = static_cast<double>(k);
    const Complex noise{0.01 * (std::sin(1.7 * x) + 0.7 * std::sin(5.3 * x + 1.0)),
                        0.01 * (std::cos(2.21 * x) - 0.6 * std::sin(3.1 * x))};
    spectrum.impedances[k] = spectrum.impedances[k] * (Complex{1.0, 0.0} + noise);
  }
  const Series start = rebuild(circuit, std::vector{13.0, 70.0, 1.5e-4, 0.95, 60.0, 6e-4, 0.8});
  const FitOutcome settled = levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, settling()).value();
  const FitOutcome joined =
      levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, settling(), LmStarts::UntilPlausibleJoiningPaths)
          .value();
  EXPECT_LT(joined.impedance_evals * 10, settled.impedance_evals * 9);
  EXPECT_NEAR(joined.cost, settled.cost, 1e-9 * settled.cost);
  const FitOutcome lagged =
      levenberg_marquardt_fit(start, spectrum, Weighting::Modulus, lagging(), LmStarts::UntilPlausibleJoiningPaths)
          .value();
  EXPECT_LT(lagged.impedance_evals * 7, joined.impedance_evals * 6);
  EXPECT_NEAR(lagged.cost, settled.cost, 1e-9 * settled.cost);
}

class PolishOrFallback : public ::testing::Test {
 protected:
  // The polish of `best` on `spectrum`, after a global search that used 77
  // iterations and left `counter` at `global_evals`.
  FitOutcome polish(const Spectrum& spectrum, const std::vector<double>& best, std::uint64_t global_evals) {
    counter.add(global_evals);
    return polish_or_fallback(circuit, best, 77, PreparedSpectrum::from(spectrum, Weighting::Modulus), counter);
  }

  const Series circuit = circuit_of("R0-(R1,CPE1)");
  const std::vector<double> truth = {10.0, 100.0, 1e-4, 0.85};
  const Spectrum clean = synthetic_spectrum(circuit, truth, log_frequencies(30, -1.0, 4.0));
  EvalCounter counter;
};

TEST_F(PolishOrFallback, KeepsThePolishWhenItIsBetter) {
  const FitOutcome outcome = polish(clean, {12.0, 90.0, 1.5e-4, 0.8}, 1000);
  for (std::size_t j = 0; j < truth.size(); ++j) EXPECT_NEAR(outcome.params[j], truth[j], 1e-6 * truth[j]);
  EXPECT_TRUE(outcome.success);
  EXPECT_NE(outcome.iterations, 77u);
  // The global search, the fallback's statistics and the whole polish.
  EXPECT_EQ(outcome.impedance_evals, counter.value());
  EXPECT_GT(counter.value(), 1000u + 1u + 2u * truth.size() + 9u);
}

// A zero frequency makes every cost NaN, so the polish cannot beat the
// global point: its clamped values come back, counted in full.
TEST_F(PolishOrFallback, KeepsTheGlobalPointWhenThePolishIsNotFinite) {
  const Spectrum zero_frequency = synthetic_spectrum(circuit, truth, {0.0, 1.0, 10.0, 100.0});
  const FitOutcome outcome = polish(zero_frequency, {12.0, 90.0, 1.5e-4, 1.3}, 0);
  EXPECT_EQ(outcome.params, (std::vector{12.0, 90.0, 1.5e-4, 1.0}));
  EXPECT_EQ(outcome.iterations, 77u);
  EXPECT_EQ(outcome.impedance_evals, counter.value());
  EXPECT_FALSE(outcome.success);
}

// Regression: a global point whose cost is NaN (its exponent is NaN) must
// not shut out a polish that found a finite cost from the spread-out starts
// of the bounded parameter.
TEST_F(PolishOrFallback, NanGlobalPointLosesToAFinitePolish) {
  const FitOutcome outcome = polish(clean, {10.0, 100.0, 1e-4, kNaN}, 0);
  EXPECT_TRUE(std::isfinite(outcome.cost));
  EXPECT_FALSE(any_nan(outcome.params));
}

}  // namespace
}  // namespace kelvra
