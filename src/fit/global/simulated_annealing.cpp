#include "fit/global/simulated_annealing.h"

#include <cmath>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fit/global/chacha_rng.h"
#include "fit/search_coordinates.h"
#include "support/text.h"

namespace kelvra {
namespace {

// The cost function plus the generator that makes neighbours; the walk keeps
// the acceptance generator, so each stream has one owner.
class SaProblem {
 public:
  SaProblem(SearchFrame& frame, ChaChaRng neighbours) : cost_(frame), neighbours_(std::move(neighbours)) {}

  double cost(std::span<const double> u) { return cost_.cost(u); }

  // Every coordinate moves by a uniform step in [-T, T): decades for open
  // parameters, physical units for bounded ones.
  void anneal(std::span<const double> u, double temperature, std::span<double> out) {
    for (std::size_t j = 0; j < u.size(); ++j) out[j] = u[j] + neighbours_.symmetric_step(temperature);
  }

 private:
  PsoProblem cost_;
  ChaChaRng neighbours_;
};

}  // namespace

bool annealing_accepts(double current, double candidate, double temperature, double u) {
  if (candidate < current) return true;
  return 1.0 / (1.0 + std::exp((candidate - current) / temperature)) > u;
}

Result<SearchOutcome, FitError> simulated_annealing_search(SearchFrame& frame, double initial_temperature,
                                                           std::uint64_t iterations,
                                                           std::optional<std::uint64_t> seed) {
  if (initial_temperature <= 0.0) {
    return fail(FitError{fit_error::InvalidSetting{"sa_initial_temperature must be > 0"}});
  }
  // NaN and +inf pass the test above but give no usable neighbour steps.
  if (!std::isfinite(initial_temperature)) {
    return fail(FitError{fit_error::InvalidSetting{"sa_initial_temperature must be finite"}});
  }
  SaProblem problem(frame, ChaChaRng::from_optional_seed(seed));
  ChaChaRng acceptance = ChaChaRng::from_optional_seed(seed ? std::optional(*seed + 1) : std::nullopt);

  std::vector<double> u = to_search_coordinates(frame.bounds, frame.start);
  std::vector<double> neighbour(u.size());
  double cost = problem.cost(u);
  BestSoFar best;
  best.offer(u, cost);

  double temperature = initial_temperature;
  std::uint64_t k = 0;
  while (k < iterations) {
    problem.anneal(u, temperature, neighbour);
    const double neighbour_cost = problem.cost(neighbour);
    // Drawn every step, needed or not, so the stream does not depend on costs.
    const double draw = acceptance.acceptance_probability();
    if (annealing_accepts(cost, neighbour_cost, temperature, draw)) {
      std::swap(u, neighbour);
      cost = neighbour_cost;
    }
    ++k;
    temperature = initial_temperature / static_cast<double>(k + 1);
    best.offer(u, cost);
  }
  return SearchOutcome{best.point(), k};
}

Result<FitOutcome, FitError> simulated_annealing_fit(const Series& circuit, const Spectrum& spectrum,
                                                     Weighting weighting, double initial_temperature,
                                                     std::uint64_t iterations, std::optional<std::uint64_t> seed) {
  return run_search(circuit, spectrum, weighting, kSimulatedAnnealingName, [=](SearchFrame& frame) {
    return simulated_annealing_search(frame, initial_temperature, iterations, seed);
  });
}

}  // namespace kelvra
