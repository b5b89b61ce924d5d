// The "differential_evolution" fit: ten independent restarts of a
// self-adaptive differential evolution (each individual carries its own
// crossover rate and differential weight) over the search box, held in single
// precision; the best point of all restarts is polished. Its generators are
// always seeded from the OS, so results differ from run to run.
#pragma once

#include <cstdint>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/global/search_frame.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

// The restarts alone: 10 * (max(E, 1) + 1) cost evaluations, of which
// 10 * max(E, 1) are counted as iterations. Refuses a box entry that is
// empty in single precision before any cost.
Result<SearchOutcome, FitError> differential_evolution_search(SearchFrame& frame, std::uint64_t evaluations);

Result<FitOutcome, FitError> differential_evolution_fit(const Series& circuit, const Spectrum& spectrum,
                                                        Weighting weighting, std::uint64_t evaluations);

}  // namespace kelvra
