#include "fit/global/particle_swarm.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fit/global/chacha_rng.h"
#include "fit/global/cost_order.h"
#include "fit/search_coordinates.h"

namespace kelvra {
namespace {

// Constriction-type weights: w = 1 / (2 ln 2), c1 = c2 = 0.5 + ln 2.
constexpr double kInertia = 0.7213475204444817;
constexpr double kCognitive = 1.1931471805599454;
constexpr double kSocial = 1.1931471805599454;

struct Particle {
  std::vector<double> position;
  std::vector<double> velocity;
  std::vector<double> best_position;
  double cost;
  double best_cost;
};

double cost_of(const Particle& p) { return p.cost; }

// Uniform between a and b in either order. Equal ends draw nothing, so a
// zero-width box entry, or a particle already at its best, keeps the
// generator's stream for the other coordinates.
double draw_between(ChaChaRng& rng, double a, double b) {
  if (a == b) return a;
  const double lo = std::min(a, b);
  const double hi = std::max(a, b);
  return lo + (hi - lo) * rng.uniform01();
}

std::vector<Particle> initial_swarm(std::uint64_t count, const SearchBox& box, PsoProblem& problem, ChaChaRng& rng) {
  const std::size_t n = box.lower.size();
  std::vector<Particle> swarm(count, Particle{std::vector<double>(n), std::vector<double>(n), {}, 0.0, 0.0});
  for (Particle& p : swarm) {
    for (std::size_t j = 0; j < n; ++j) p.position[j] = draw_between(rng, box.lower[j], box.upper[j]);
  }
  for (Particle& p : swarm) p.cost = problem.cost(p.position);
  for (Particle& p : swarm) {
    for (std::size_t j = 0; j < n; ++j) {
      const double width = box.upper[j] - box.lower[j];
      p.velocity[j] = draw_between(rng, -width, width);
    }
    p.best_position = p.position;
    p.best_cost = p.cost;
  }
  sort_by_cost(swarm, cost_of);
  return swarm;
}

// Velocity pulled towards the particle's best and the generation's global
// best by random fractions of each distance; the position is clamped to the
// box, the velocity is kept as computed.
void move(Particle& p, std::span<const double> global_best, const SearchBox& box, ChaChaRng& rng,
          std::vector<double>& pull_own, std::vector<double>& pull_global) {
  const std::size_t n = p.position.size();
  for (std::size_t j = 0; j < n; ++j) pull_own[j] = draw_between(rng, 0.0, p.best_position[j] - p.position[j]);
  for (std::size_t j = 0; j < n; ++j) pull_global[j] = draw_between(rng, 0.0, global_best[j] - p.position[j]);
  for (std::size_t j = 0; j < n; ++j) {
    p.velocity[j] = ((kInertia * p.velocity[j]) + kCognitive * pull_own[j]) + kSocial * pull_global[j];
    p.position[j] = std::min(std::max(p.position[j] + p.velocity[j], box.lower[j]), box.upper[j]);
  }
}

}  // namespace

Result<SearchOutcome, FitError> particle_swarm_search(SearchFrame& frame, std::uint64_t num_particles,
                                                      std::uint64_t generations, std::optional<std::uint64_t> seed) {
  // An empty swarm has no best point to polish.
  if (num_particles == 0) return fail(FitError{fit_error::InvalidSetting{"num_particles must be at least 1"}});
  if (num_particles > kMaxParticles) {
    return fail(FitError{fit_error::InvalidSetting{"num_particles must be at most " + std::to_string(kMaxParticles)}});
  }
  PsoProblem problem(frame);
  const SearchBox box = pso_search_box(frame.bounds, frame.start);
  ChaChaRng rng = ChaChaRng::from_optional_seed(seed);

  std::vector<Particle> swarm = initial_swarm(num_particles, box, problem, rng);
  std::vector<double> global_best = swarm.front().position;
  double global_best_cost = swarm.front().cost;

  const std::size_t n = box.lower.size();
  std::vector<double> generation_best(n);
  std::vector<double> pull_own(n);
  std::vector<double> pull_global(n);
  std::uint64_t completed = 0;
  while (completed < generations) {
    generation_best = global_best;
    for (Particle& p : swarm) move(p, generation_best, box, rng, pull_own, pull_global);
    for (Particle& p : swarm) p.cost = problem.cost(p.position);
    // Strict comparisons: a NaN cost improves neither best. A new global best
    // already counts for the particles after it in this pass.
    for (Particle& p : swarm) {
      if (!(p.cost < p.best_cost)) continue;
      p.best_position = p.position;
      p.best_cost = p.cost;
      if (p.cost < global_best_cost) {
        global_best = p.position;
        global_best_cost = p.cost;
      }
    }
    ++completed;
  }
  return SearchOutcome{std::move(global_best), completed};
}

Result<FitOutcome, FitError> particle_swarm_fit(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                                std::uint64_t num_particles, std::uint64_t generations,
                                                std::optional<std::uint64_t> seed) {
  return run_search(circuit, spectrum, weighting, kParticleSwarmName, [=](SearchFrame& frame) {
    return particle_swarm_search(frame, num_particles, generations, seed);
  });
}

}  // namespace kelvra
