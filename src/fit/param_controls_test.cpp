#include "fit/param_controls.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "circuit/params.h"
#include "fit/fit_test_support.h"
#include "fit/levenberg_marquardt_fit.h"

namespace kelvra {
namespace {

using fit_testing::circuit_of;
using fit_testing::kInf;
using fit_testing::kNaN;
using fit_testing::log_frequencies;
using fit_testing::synthetic_spectrum;

constexpr const char* kCircuit = "R0-(R1,CPE1)";

ParamControlRequest request(std::vector<NamedValue> start, std::vector<NamedValue> fixed = {},
                            std::vector<std::string> held = {}, std::vector<NamedBounds> bounds = {}) {
  ParamControlRequest out;
  out.start = std::move(start);
  out.fixed = std::move(fixed);
  out.held = std::move(held);
  out.bounds = std::move(bounds);
  return out;
}

std::string error_text(const ParamControlRequest& request) {
  const Result<ControlledStart, FitError> applied = apply_param_controls(circuit_of(kCircuit), request);
  return applied.ok() ? std::string() : display(applied.error());
}

struct RejectedCase {
  const char* what;
  ParamControlRequest request;
  const char* message;
};

class Rejected : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(Rejected, NamesTheArgumentAndTheParameter) {
  EXPECT_EQ(error_text(GetParam().request), GetParam().message) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Rejected,
    ::testing::Values(
        RejectedCase{"unknown name", request({{"R2.r", 1.0}}),
                     "unknown parameter \"R2.r\" in start, did you mean \"R0.r\"?"},
        RejectedCase{"start outside the physical bounds", request({{"CPE1.alpha", 1.5}}),
                     "start value 1.5 of \"CPE1.alpha\" is outside its bounds [0, 1]"},
        RejectedCase{"negative resistance", request({}, {{"R1.r", -2.0}}),
                     "fixed value -2 of \"R1.r\" is outside its bounds [1e-12, inf]"},
        RejectedCase{"non-finite start", request({{"R0.r", kNaN}}),
                     "start value of \"R0.r\" must be finite, found NaN"},
        RejectedCase{"empty bounds", request({}, {}, {}, {{"R0.r", 2.0, 1.0}}),
                     "bounds of \"R0.r\" must have lower < upper, found [2, 1]"},
        RejectedCase{"bounds past the physical ones", request({}, {}, {}, {{"CPE1.alpha", 0.5, 2.0}}),
                     "bounds [0.5, 2] of \"CPE1.alpha\" reach outside its physical bounds [0, 1]"},
        RejectedCase{"start outside custom bounds", request({{"R0.r", 5.0}}, {}, {}, {{"R0.r", 1.0, 2.0}}),
                     "start value 5 of \"R0.r\" is outside its bounds [1, 2]"},
        RejectedCase{"held value outside custom bounds", request({}, {}, {"R0.r"}, {{"R0.r", 2.0, 3.0}}),
                     "fixed value 1 of \"R0.r\" is outside its bounds [2, 3]"},
        RejectedCase{"start and fixed disagree", request({{"R0.r", 2.0}}, {{"R0.r", 3.0}}),
                     "\"R0.r\" is given both a start value and a different fixed value"}));

TEST(ParamControls, WritesValuesAndMarksFixedAndBounds) {
  const Result<ControlledStart, FitError> applied = apply_param_controls(
      circuit_of(kCircuit),
      request({{"R0.r", 2.0}}, {{"CPE1.alpha", 0.9}}, {"R1.r"}, {{"CPE1.q", 1e-6, 1e-3}}));
  ASSERT_TRUE(applied.ok()) << display(applied.error());
  const ControlledStart& start = applied.value();
  EXPECT_EQ(param_values(start.circuit), (std::vector<double>{2.0, 1.0, 1e-3, 0.9}));
  EXPECT_EQ(start.controls.fixed, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(start.controls.bounds[2].lo, 1e-6);
  EXPECT_EQ(start.controls.bounds[2].hi, 1e-3);
  EXPECT_EQ(start.controls.bounds[0].hi, kInf);
}

// Fitting noiseless data with one parameter held away from the truth: the
// held value stays bit for bit, it has no standard error, and the others
// still get one.
TEST(ControlledFit, FixedParameterStaysExactlyAndHasNoStandardError) {
  const Series circuit = circuit_of(kCircuit);
  const std::vector<double> truth{10.0, 100.0, 1e-4, 0.85};
  const Spectrum spectrum = synthetic_spectrum(circuit, truth, log_frequencies(40, -2.0, 5.0));
  for (const double held : {0.85, 0.8, 1.0}) {
    const Result<ControlledStart, FitError> applied =
        apply_param_controls(rebuild(circuit, std::vector<double>{20.0, 50.0, 3e-4, 0.7}),
                             request({}, {{"CPE1.alpha", held}}));
    ASSERT_TRUE(applied.ok());
    const Result<FitOutcome, FitError> fitted =
        levenberg_marquardt_fit(applied.value().circuit, spectrum, Weighting::Modulus, LmSettings{},
                                LmStarts::UntilPlausible, &applied.value().controls);
    ASSERT_TRUE(fitted.ok());
    const FitOutcome& outcome = fitted.value();
    EXPECT_EQ(outcome.params[3], held);
    ASSERT_TRUE(outcome.std_errors.has_value());
    EXPECT_TRUE(std::isnan((*outcome.std_errors)[3]));
    for (std::size_t j = 0; j < 3; ++j) EXPECT_TRUE(std::isfinite((*outcome.std_errors)[j])) << j;
    if (held == 0.85) {
      EXPECT_NEAR(outcome.params[1], 100.0, 1e-6 * 100.0);
    }
  }
}

// Bounds that exclude the truth: the fit ends inside them, on the bound
// nearest the truth, and an open parameter fixed at its start value is
// written back exactly after its trip through log coordinates.
TEST(ControlledFit, CustomBoundsHoldTheResult) {
  const Series circuit = circuit_of(kCircuit);
  const std::vector<double> truth{10.0, 100.0, 1e-4, 0.85};
  const Spectrum spectrum = synthetic_spectrum(circuit, truth, log_frequencies(40, -2.0, 5.0));
  const Result<ControlledStart, FitError> applied =
      apply_param_controls(rebuild(circuit, std::vector<double>{10.0 / 3.0, 50.0, 3e-4, 0.9}),
                           request({}, {}, {"R0.r"}, {{"R1.r", 20.0, 60.0}}));
  ASSERT_TRUE(applied.ok());
  const Result<FitOutcome, FitError> fitted = levenberg_marquardt_fit(
      applied.value().circuit, spectrum, Weighting::Modulus, LmSettings{}, LmStarts::UntilPlausible,
      &applied.value().controls);
  ASSERT_TRUE(fitted.ok());
  EXPECT_EQ(fitted.value().params[0], 10.0 / 3.0);
  EXPECT_GE(fitted.value().params[1], 20.0);
  EXPECT_LE(fitted.value().params[1], 60.0);
  EXPECT_NEAR(fitted.value().params[1], 60.0, 1e-9 * 60.0);
}

}  // namespace
}  // namespace kelvra
