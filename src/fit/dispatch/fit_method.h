// Dispatch of a fit by method name, with every numeric option of a fit in
// one value so that the Python layer converts arguments once and the
// numerical work runs without it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/lm_candidates.h"
#include "fit/param_controls.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

struct FitOptions {
  std::uint32_t max_iterations = 200;
  double ftol = 1e-8;
  double xtol = 1e-8;
  // The Levenberg-Marquardt method's early stop, from the early-stop rule;
  // the global methods' polish never stops early.
  EarlyStop early_stop;
  // How the Levenberg-Marquardt method's runs take their Jacobian; the
  // global methods' polish always differences centrally.
  JacobianMethod jacobian = JacobianMethod::CentralDifference;
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
  // Fixed parameters and custom bounds, from apply_param_controls on the
  // circuit being fitted; only the Levenberg-Marquardt fit takes them.
  std::optional<ParamControls> controls;
};

// Upper limits of the counts that set how long a global method runs. Each is
// about 10^4 times its default: hours of work on an ordinary spectrum, far
// past where any of these methods still improves a fit, so a larger value
// can only be a slip (an extra digit, 2**63 meant as "until it converges").
// num_particles has its own limit, kMaxParticles.
inline constexpr std::uint64_t kMaxGenerations = 10'000'000;
inline constexpr std::uint64_t kMaxNelderMeadIterations = 20'000'000;
inline constexpr std::uint64_t kMaxDeEvaluations = 200'000'000;
inline constexpr std::uint64_t kMaxSaIterations = 50'000'000;
inline constexpr std::uint64_t kMaxBasinHoppingHops = 200'000;

// The method names `run_fit_method` accepts, the default first.
inline constexpr std::size_t kFitMethodCount = 6;
std::array<std::string_view, kFitMethodCount> fit_method_names();

// The methods that draw random numbers but take no seed (differential
// evolution), in table order: a seed given with one of them changes nothing.
std::vector<std::string_view> unseeded_fit_methods();

// Runs `method` ("levenberg_marquardt", "nelder_mead", ...) on `circuit`,
// starting from its stored values; an unknown name is FitError UnknownMethod, a count
// above its limit FitError InvalidSetting "{argument} must be at most {limit}",
// controls with another method FitError InvalidSetting.
Result<FitOutcome, FitError> run_fit_method(std::string_view method, const Series& circuit,
                                            const Spectrum& spectrum, Weighting weighting,
                                            const FitOptions& options);

}  // namespace kelvra
