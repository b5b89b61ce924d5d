#include "batch/fit_batch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "circuit/params.h"
#include "models/registry.h"
#include "support/worker_pool.h"

namespace kelvra {
namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// The network behind the batch's learned guesses, chosen once for all its
// spectra; none when the fits start from the request's own values.
using BatchGuesser = std::optional<Result<CircuitGuesser, GuessError>>;

// The circuit a spectrum's fit starts from: the learned guess for it where
// asked, else the request's own values. A non-finite guess (from a spectrum
// the features cannot take) starts from the own values too, so the fit
// reports on the data rather than on the guess.
Result<Series, BatchError> starting_series(const BatchRequest& request, const BatchGuesser& guesser,
                                           const Spectrum& spectrum) {
  if (!guesser) return request.circuit;
  if (!*guesser) return fail(BatchError{guesser->error().message, guesser->error().internal});
  auto guessed = guesser->value().guess(spectrum.frequencies, spectrum.impedances);
  if (!guessed) return fail(BatchError{guessed.error().message, guessed.error().internal});
  const std::vector<double>& values = guessed.value();
  if (values.size() != param_count(request.circuit)) {
    return fail(BatchError{"guess_params: one value per parameter", true});
  }
  if (!std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); })) {
    return request.circuit;
  }
  return rebuild(request.circuit, values);
}

// Fits spectrum `i` into row `i`.
void fit_row(const BatchRequest& request, const BatchGuesser& guesser, const Spectrum& spectrum, std::size_t i,
             BatchRows& rows) {
  const auto began = std::chrono::steady_clock::now();
  auto start = starting_series(request, guesser, spectrum);
  FitOptions options = request.options;
  if (start && !request.controls.empty()) {
    auto controlled = apply_param_controls(start.value(), request.controls);
    if (!controlled) {
      rows.errors[i] = BatchError{display(controlled.error())};
      rows.seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      return;
    }
    start = std::move(controlled.value().circuit);
    if (request.controls.restricts()) options.controls = std::move(controlled.value().controls);
  }
  if (!start) {
    rows.errors[i] = std::move(start).error();
  } else {
    auto fitted = run_fit_method(request.method, start.value(), spectrum, request.weighting, options);
    if (!fitted) {
      rows.errors[i] = BatchError{display(fitted.error())};
    } else {
      const FitOutcome& outcome = fitted.value();
      const std::size_t n = rows.param_count;
      const std::size_t kept = std::min(n, outcome.params.size());
      std::copy_n(outcome.params.begin(), kept, rows.params.begin() + static_cast<std::ptrdiff_t>(i * n));
      if (outcome.std_errors) {
        std::copy_n(outcome.std_errors->begin(), std::min(kept, outcome.std_errors->size()),
                    rows.std_errors.begin() + static_cast<std::ptrdiff_t>(i * n));
      }
      rows.chi_square[i] = outcome.chi_square;
      rows.success[i] = outcome.success ? 1 : 0;
      rows.iterations[i] = outcome.iterations;
      rows.impedance_evals[i] = outcome.impedance_evals;
    }
  }
  rows.seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

}  // namespace

BatchRows fit_batch(const BatchRequest& request, std::span<const std::optional<Spectrum>> spectra) {
  const std::size_t count = spectra.size();
  BatchRows rows;
  rows.param_count = param_count(request.circuit);
  rows.params.assign(count * rows.param_count, kNoValue);
  rows.std_errors.assign(count * rows.param_count, kNoValue);
  rows.chi_square.assign(count, kNoValue);
  rows.success.assign(count, 0);
  rows.iterations.assign(count, 0);
  rows.impedance_evals.assign(count, 0);
  rows.seconds.assign(count, 0.0);
  rows.errors.assign(count, std::nullopt);
  BatchGuesser guesser;
  if (request.learned_guess) guesser.emplace(CircuitGuesser::select(request.circuit, request.weights));
  parallel_for(
      count,
      [&](std::size_t i) {
        if (spectra[i]) fit_row(request, guesser, *spectra[i], i, rows);
      },
      request.max_threads);
  return rows;
}

}  // namespace kelvra
