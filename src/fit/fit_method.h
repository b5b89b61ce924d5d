// Dispatch of a fit by method name, with every numeric option of a fit in
// one value so that the Python layer converts arguments once and the
// numerical work runs without it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

struct FitOptions {
  std::uint32_t max_iterations = 200;
  double ftol = 1e-8;
  double xtol = 1e-8;
  std::uint64_t num_particles = 200;
  std::uint64_t generations = 1000;
  std::uint64_t nelder_mead_iterations = 2000;
  std::uint64_t de_evaluations = 20000;
  std::uint64_t sa_iterations = 5000;
  double sa_initial_temperature = 2.0;
  std::uint32_t basin_hopping_hops = 20;
  double basin_hopping_step_size = 1.0;
  double basin_hopping_temperature = 1.0;
  std::optional<std::uint64_t> seed;  // none: seeded from the OS entropy source
};

// Runs `method` ("levenberg_marquardt", "nelder_mead", ...) on `circuit`,
// starting from its stored values; an unknown name is FitError UnknownMethod.
Result<FitOutcome, FitError> run_fit_method(std::string_view method, const Series& circuit,
                                            const Spectrum& spectrum, Weighting weighting,
                                            const FitOptions& options);

}  // namespace kelvra
