// One circuit fitted to many spectra at once: the loop behind the Python
// layer's batch. It runs on the process-wide pool without the interpreter
// and hands its rows back as plain columns, so the host touches a whole
// chunk of spectra once rather than every fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "fit/dispatch/fit_method.h"
#include "fit/param_controls.h"
#include "fit/prepared_spectrum.h"

namespace kelvra {

struct BatchRequest {
  Series circuit;        // every fit starts from its values, unless guessed
  bool learned_guess = false;  // start each fit from the learned guess for its spectrum
  std::optional<std::string> weights;  // the guess's weight file; none: the built-in model
  std::string method;
  Weighting weighting = Weighting::Modulus;
  FitOptions options;
  ParamControlRequest controls;  // start values, held parameters, bounds: applied after the guess
  std::size_t max_threads = 1;  // the caller's thread included
};

// Why a spectrum has no fit. `internal` marks a broken invariant of the
// guess rather than a fault of the spectrum.
struct BatchError {
  std::string message;
  bool internal = false;
};

// One entry per spectrum, in input order. Parameters and standard errors
// are row-major, `param_count` to a row, NaN where a row has none; a row
// without a fit has NaN chi-square, no success and zero counts.
struct BatchRows {
  std::size_t param_count = 0;
  std::vector<double> params;
  std::vector<double> std_errors;
  std::vector<double> chi_square;
  std::vector<std::uint8_t> success;
  std::vector<std::uint64_t> iterations;
  std::vector<std::uint64_t> impedance_evals;
  std::vector<double> seconds;  // wall time of the guess and the fit
  std::vector<std::optional<BatchError>> errors;
};

// Fits `request.circuit` to every spectrum on at most request.max_threads
// threads. A missing spectrum (one its host could not read) gets an empty
// row and no error here. The rows are the same for any number of threads:
// each fit is deterministic and writes only its own row, and loops nested in
// a fit run on that fit's thread.
BatchRows fit_batch(const BatchRequest& request, std::span<const std::optional<Spectrum>> spectra);

}  // namespace kelvra
