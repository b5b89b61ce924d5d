// The "particle_swarm" fit: a swarm in the search box, each particle pulled
// towards its own best point and the swarm's, for a fixed number of
// generations; the swarm's best point is then polished.
#pragma once

#include <cstdint>
#include <optional>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/global/search_frame.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

// The swarm's particles are held in memory at once; beyond this count a
// request is refused rather than left to exhaust memory.
inline constexpr std::uint64_t kMaxParticles = std::uint64_t{1} << 20;

// The swarm alone; refuses an empty or oversized swarm before any cost.
Result<SearchOutcome, FitError> particle_swarm_search(SearchFrame& frame, std::uint64_t num_particles,
                                                      std::uint64_t generations, std::optional<std::uint64_t> seed);

// Makes num_particles * (generations + 1) cost evaluations before the polish,
// which is told the completed generations. Without a seed the generator is
// seeded from the OS and runs are not repeatable.
Result<FitOutcome, FitError> particle_swarm_fit(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                                std::uint64_t num_particles, std::uint64_t generations,
                                                std::optional<std::uint64_t> seed);

}  // namespace kelvra
