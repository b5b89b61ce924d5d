// The "simulated_annealing" fit: one point walking by uniform random steps
// that shrink as T0 / (k + 1), accepting worse points with a probability that
// falls with the cost increase; the best point visited is polished.
#pragma once

#include <cstdint>
#include <optional>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/global/search_frame.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

// The acceptance test of one step, given the acceptance draw u in [0, 1): a
// lower cost is taken outright, any other with probability
// 1 / (1 + exp((candidate - current) / T)). A NaN on either side is refused.
bool annealing_accepts(double current, double candidate, double temperature, double u);

// The walk alone; refuses a temperature that is not positive and finite
// before any cost.
Result<SearchOutcome, FitError> simulated_annealing_search(SearchFrame& frame, double initial_temperature,
                                                           std::uint64_t iterations,
                                                           std::optional<std::uint64_t> seed);

// K + 1 cost evaluations before the polish, which is told the completed
// iterations. A seed s seeds the neighbour generator with s and the
// acceptance generator with s + 1 (wrapping).
Result<FitOutcome, FitError> simulated_annealing_fit(const Series& circuit, const Spectrum& spectrum,
                                                     Weighting weighting, double initial_temperature,
                                                     std::uint64_t iterations, std::optional<std::uint64_t> seed);

}  // namespace kelvra
