#include "fit/global/differential_evolution.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/params.h"
#include "fit/search_coordinates.h"
#include "fit/global/xorshift128.h"
#include "support/text.h"

namespace kelvra {
namespace {

// Costs are rounded to float when stored; a cost beyond the float range must
// become +inf, which IEEE conversion guarantees.
static_assert(std::numeric_limits<float>::is_iec559);

constexpr int kRestarts = 10;
constexpr std::uint32_t kPopulation = 100;
constexpr std::size_t kLastIndex = kPopulation - 1;
// Each trial draws a fresh crossover rate, and separately a fresh weight,
// with this probability; otherwise it inherits its parent's.
constexpr float kRenewProbability = 0.1F;
// Differential weights are uniform in [kMinWeight, kMinWeight + kWeightSpan).
constexpr float kMinWeight = 0.1F;
constexpr float kWeightSpan = 0.9F;

struct Individual {
  std::vector<float> position;
  std::optional<float> cost;  // absent until evaluated
  float crossover = 0.0F;
  float weight = 0.0F;
};

struct FloatBox {
  std::vector<float> lower;
  std::vector<float> upper;
};

// The restart's cost function: a float position widened to double and costed
// like any search vector, without allocating.
class DeCost {
 public:
  explicit DeCost(SearchFrame& frame) : problem_(frame), point_(frame.start.size()) {}

  double cost(std::span<const float> position) {
    std::copy(position.begin(), position.end(), point_.begin());
    return problem_.cost(point_);
  }
  std::span<const double> last_point() const { return point_; }

 private:
  PsoProblem problem_;
  std::vector<double> point_;
};

struct Population {
  std::vector<Individual> parents;
  std::vector<Individual> trials;
  std::size_t pending = 0;
  std::optional<std::pair<std::size_t, float>> best;  // index and cost of the best trial
  std::uint64_t evaluations = 0;
};

Population initial_population(const FloatBox& box, Xorshift128& rng) {
  const std::size_t n = box.lower.size();
  Population population;
  population.parents.assign(kPopulation, Individual{std::vector<float>(n), std::nullopt});
  population.trials.assign(kPopulation, Individual{std::vector<float>(n), std::nullopt});
  for (Individual& individual : population.trials) {
    individual.crossover = rng.uniform01();
    individual.weight = kMinWeight + kWeightSpan * rng.uniform01();
    for (std::size_t j = 0; j < n; ++j) {
      individual.position[j] = box.lower[j] + (box.upper[j] - box.lower[j]) * rng.uniform01();
    }
  }
  return population;
}

// A trial replaces its parent when the parent has no cost or the trial's
// cost is not greater; a NaN on either side keeps the parent.
void select(Population& population) {
  for (std::size_t i = 0; i < kPopulation; ++i) {
    const Individual& parent = population.parents[i];
    const Individual& trial = population.trials[i];
    if (!parent.cost || (trial.cost && *trial.cost <= *parent.cost)) {
      std::swap(population.parents[i], population.trials[i]);
    }
  }
}

// Three distinct donors r1, r2, r3 (i itself allowed), inherited or renewed
// rates, and a crossover that always takes the forced coordinate.
void build_trial(Population& population, std::size_t i, Xorshift128& rng) {
  const std::vector<Individual>& parents = population.parents;
  const std::uint32_t r1 = rng.index_below(kPopulation);
  std::uint32_t r2 = rng.index_below(kPopulation);
  while (r2 == r1) r2 = rng.index_below(kPopulation);
  std::uint32_t r3 = rng.index_below(kPopulation);
  while (r3 == r1 || r3 == r2) r3 = rng.index_below(kPopulation);

  Individual& trial = population.trials[i];
  const Individual& parent = parents[i];
  trial.crossover = rng.uniform01() < kRenewProbability ? rng.uniform01() : parent.crossover;
  trial.weight = rng.uniform01() < kRenewProbability ? kMinWeight + kWeightSpan * rng.uniform01() : parent.weight;

  const std::size_t n = trial.position.size();
  const std::uint32_t forced = rng.index_below(static_cast<std::uint32_t>(n));
  for (std::size_t j = 0; j < n; ++j) {
    const bool mutate = j == forced || rng.uniform01() < trial.crossover;
    trial.position[j] = mutate ? parents[r3].position[j] + trial.weight * (parents[r1].position[j] - parents[r2].position[j])
                               : parent.position[j];
  }
  trial.cost.reset();
}

// One evaluation step: a new generation when the previous one is used up,
// then the trial at the pending index, from 99 down to 0.
void step(Population& population, DeCost& cost, Xorshift128& rng) {
  if (population.pending == 0) {
    select(population);
    for (std::size_t i = 0; i < kPopulation; ++i) build_trial(population, i, rng);
    population.pending = kLastIndex;
  } else {
    --population.pending;
  }
  Individual& trial = population.trials[population.pending];
  const auto stored = static_cast<float>(cost.cost(trial.position));
  trial.cost = stored;
  ++population.evaluations;
  // A NaN cost never becomes the restart's best.
  if (!std::isnan(stored) && (!population.best || stored < population.best->second)) {
    population.best = std::pair{population.pending, stored};
  }
}

// The lower-cost of parent and trial at the best index, the parent on ties.
// A NaN-cost parent yields to a trial with a number, so that a restart whose
// best trial has a finite cost never reports a NaN point.
const Individual& restart_choice(const Individual& parent, const Individual& trial) {
  if (!parent.cost) return trial;
  if (!trial.cost) return parent;
  const bool parent_lost = *parent.cost > *trial.cost || (std::isnan(*parent.cost) && !std::isnan(*trial.cost));
  return parent_lost ? trial : parent;
}

std::optional<FitError> check_box(const SearchFrame& frame, const FloatBox& box) {
  for (std::size_t j = 0; j < box.lower.size(); ++j) {
    if (box.lower[j] < box.upper[j]) continue;
    const std::vector<std::string> names = param_names(frame.circuit);
    return fit_error::InvalidSetting{"differential evolution cannot sample " + debug_quoted(names[j]) +
                                     ": its search interval is empty in single precision"};
  }
  return std::nullopt;
}

}  // namespace

Result<SearchOutcome, FitError> differential_evolution_search(SearchFrame& frame, std::uint64_t evaluations) {
  const SearchBox wide = pso_search_box(frame.bounds, frame.start);
  FloatBox box{std::vector<float>(wide.lower.begin(), wide.lower.end()),
               std::vector<float>(wide.upper.begin(), wide.upper.end())};
  if (auto error = check_box(frame, box)) return fail(std::move(*error));

  const std::uint64_t steps = std::max<std::uint64_t>(evaluations, 1);
  SearchOutcome outcome;
  double best_cost = std::numeric_limits<double>::quiet_NaN();
  for (int restart = 0; restart < kRestarts; ++restart) {
    DeCost cost(frame);
    Xorshift128 rng = Xorshift128::from_entropy();
    Population population = initial_population(box, rng);
    for (std::uint64_t s = 0; s < steps; ++s) step(population, cost, rng);
    outcome.iterations += population.evaluations;
    if (!population.best) continue;

    const std::size_t i = population.best->first;
    const Individual& chosen = restart_choice(population.parents[i], population.trials[i]);
    const double restart_cost = cost.cost(chosen.position);
    // Ties keep the earlier restart; NaN never becomes the overall best.
    if (!std::isnan(restart_cost) && (!outcome.best || best_cost > restart_cost)) {
      outcome.best.emplace(cost.last_point().begin(), cost.last_point().end());
      best_cost = restart_cost;
    }
  }
  return outcome;
}

Result<FitOutcome, FitError> differential_evolution_fit(const Series& circuit, const Spectrum& spectrum,
                                                        Weighting weighting, std::uint64_t evaluations) {
  return run_search(circuit, spectrum, weighting, kDifferentialEvolutionName,
                    [evaluations](SearchFrame& frame) { return differential_evolution_search(frame, evaluations); });
}

}  // namespace kelvra
