#include "batch/fit_batch.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "circuit/params.h"
#include "fit/fit_test_support.h"
#include "models/registry.h"

namespace kelvra {
namespace {

using fit_testing::circuit_of;
using fit_testing::log_frequencies;
using fit_testing::synthetic_spectrum;

// Spectra of one circuit at spread-out values, with a deterministic ripple
// of a few per cent so that no fit is exact; one spectrum the host could not
// read and one whose lengths disagree.
std::vector<std::optional<Spectrum>> batch_spectra(const Series& circuit) {
  std::vector<std::optional<Spectrum>> spectra;
  for (int k = 0; k < 12; ++k) {
    const double scale = std::pow(3.0, k % 5 - 2);
    Spectrum s = synthetic_spectrum(circuit, std::vector{10.0 * scale, 100.0 / scale, 1e-4 * scale, 0.8 + 0.015 * k},
                                    log_frequencies(30, -1.0, 4.0));
    for (std::size_t p = 0; p < s.impedances.size(); ++p) {
      s.impedances[p] = (1.0 + 0.02 * std::sin(1.7 * static_cast<double>(p) + k)) * s.impedances[p];
    }
    spectra.emplace_back(std::move(s));
  }
  spectra[4] = std::nullopt;
  spectra[7]->impedances.pop_back();
  return spectra;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
         });
}

void expect_same_rows(const BatchRows& a, const BatchRows& b) {
  EXPECT_TRUE(same_bits(a.params, b.params));
  EXPECT_TRUE(same_bits(a.std_errors, b.std_errors));
  EXPECT_TRUE(same_bits(a.chi_square, b.chi_square));
  EXPECT_EQ(a.success, b.success);
  EXPECT_EQ(a.iterations, b.iterations);
  EXPECT_EQ(a.impedance_evals, b.impedance_evals);
  ASSERT_EQ(a.errors.size(), b.errors.size());
  for (std::size_t i = 0; i < a.errors.size(); ++i) {
    EXPECT_EQ(a.errors[i].has_value(), b.errors[i].has_value()) << i;
    if (a.errors[i] && b.errors[i]) {
      EXPECT_EQ(a.errors[i]->message, b.errors[i]->message) << i;
    }
  }
}

class FitBatch : public ::testing::TestWithParam<bool> {
 protected:
  BatchRequest request(std::size_t threads) const {
    BatchRequest r;
    r.circuit = rebuild(circuit, std::vector{20.0, 50.0, 2e-4, 0.7});
    r.learned_guess = GetParam();
    r.method = "levenberg_marquardt";
    r.options.early_stop = kEarlyStopRules.back().stop;
    r.max_threads = threads;
    return r;
  }

  const Series circuit = circuit_of("R0-(R1,CPE1)");
  const std::vector<std::optional<Spectrum>> spectra = batch_spectra(circuit);
};

TEST_P(FitBatch, RowsAreTheSameForAnyNumberOfThreads) {
  const BatchRows serial = fit_batch(request(1), spectra);
  for (const std::size_t threads : {std::size_t{2}, std::size_t{8}}) {
    SCOPED_TRACE(threads);
    expect_same_rows(fit_batch(request(threads), spectra), serial);
  }
}

// Each row is what the one-spectrum fit from the same start gives.
TEST_P(FitBatch, RowsAreThoseOfSingleFits) {
  const BatchRequest r = request(2);
  const BatchRows rows = fit_batch(r, spectra);
  const std::size_t n = rows.param_count;
  ASSERT_EQ(n, 4u);
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    SCOPED_TRACE(i);
    if (!spectra[i]) {
      EXPECT_FALSE(rows.errors[i].has_value());
      EXPECT_TRUE(std::isnan(rows.chi_square[i]));
      EXPECT_EQ(rows.impedance_evals[i], 0u);
      continue;
    }
    Series start = r.circuit;
    if (r.learned_guess) {
      auto guessed = guess_params(r.circuit, spectra[i]->frequencies, spectra[i]->impedances, std::nullopt);
      if (!guessed) {
        ASSERT_TRUE(rows.errors[i].has_value());
        EXPECT_EQ(rows.errors[i]->message, guessed.error().message);
        continue;
      }
      start = rebuild(r.circuit, guessed.value());
    }
    const auto single = run_fit_method(r.method, start, *spectra[i], r.weighting, r.options);
    if (!single) {
      ASSERT_TRUE(rows.errors[i].has_value());
      EXPECT_EQ(rows.errors[i]->message, display(single.error()));
      continue;
    }
    ASSERT_FALSE(rows.errors[i].has_value());
    const std::vector<double> row(rows.params.begin() + i * n, rows.params.begin() + (i + 1) * n);
    EXPECT_TRUE(same_bits(row, single.value().params));
    EXPECT_EQ(rows.chi_square[i], single.value().chi_square);
    EXPECT_EQ(rows.success[i] != 0, single.value().success);
    EXPECT_EQ(rows.impedance_evals[i], single.value().impedance_evals);
    EXPECT_GE(rows.seconds[i], 0.0);
  }
  EXPECT_EQ(rows.errors[7]->message, "frequencies and impedances must have the same length");
}

INSTANTIATE_TEST_SUITE_P(OwnValuesOrLearnedGuess, FitBatch, ::testing::Bool());

TEST(FitBatchRequest, UnknownMethodIsEveryRowsError) {
  BatchRequest r;
  r.circuit = circuit_of("R0-(R1,C1)");
  r.method = "none";
  std::vector<std::optional<Spectrum>> spectra(3, Spectrum{{1.0, 10.0}, {{1.0, -1.0}, {1.0, -0.1}}});
  const BatchRows rows = fit_batch(r, spectra);
  for (const auto& error : rows.errors) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message.rfind("unknown fit method \"none\"", 0), 0u) << error->message;
  }
}

}  // namespace
}  // namespace kelvra
