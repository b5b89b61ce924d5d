#include "fit/global/basin_hopping.h"

#include <cmath>
#include <utility>
#include <vector>

#include "circuit/params.h"
#include "fit/global/search_frame.h"
#include "fit/levenberg_marquardt_fit.h"
#include "fit/search_coordinates.h"

namespace kelvra {
namespace {

// A finite local minimum becomes the best when it is lower, or when the best
// so far has no usable cost (NaN or +inf, possible only from the first fit).
bool improves_best(double candidate, double best) { return std::isfinite(candidate) && !(best <= candidate); }

}  // namespace

bool metropolis_accepts(double current, double candidate, double temperature, ChaChaRng& rng) {
  if (!std::isfinite(candidate)) return false;
  if (!(current <= candidate)) return true;
  return std::exp(-(candidate - current) / temperature) > rng.acceptance_probability();
}

Result<FitOutcome, FitError> basin_hopping_fit(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                               std::uint32_t hops, double step_size, double temperature,
                                               std::optional<std::uint64_t> seed) {
  if (auto error = check_fit_inputs(circuit, spectrum)) return fail(std::move(*error));
  // A negative, NaN or infinite step gives no valid jump.
  if (!(std::isfinite(step_size) && step_size >= 0.0)) {
    return fail(FitError{fit_error::InvalidSetting{"basin_hopping_step_size must be finite and >= 0"}});
  }
  ChaChaRng rng = ChaChaRng::from_optional_seed(seed);
  // The frame's counter stays untouched until the final statistics.
  SearchFrame frame(circuit, spectrum, weighting);
  const LmSettings local_settings{};

  FitOutcome current = levenberg_marquardt_fit(circuit, frame.data, local_settings);
  std::vector<double> best = current.params;
  double best_cost = current.cost;
  std::uint64_t iterations = current.iterations;

  std::vector<double> u(current.params.size());
  std::vector<double> jumped(current.params.size());
  for (std::uint32_t hop = 0; hop < hops; ++hop) {
    to_search_coordinates(frame.bounds, current.params, u);
    for (double& x : u) x += rng.symmetric_step(step_size);
    to_physical(frame.bounds, u, jumped);

    FitOutcome candidate = levenberg_marquardt_fit(rebuild(circuit, jumped), frame.data, local_settings);
    iterations += candidate.iterations;
    // The best is kept whatever the Metropolis test decides below.
    if (improves_best(candidate.cost, best_cost)) {
      best = candidate.params;
      best_cost = candidate.cost;
    }
    if (metropolis_accepts(current.cost, candidate.cost, temperature, rng)) current = std::move(candidate);
  }
  return build_outcome(circuit, best, true, iterations, frame.data, frame.counter);
}

}  // namespace kelvra
