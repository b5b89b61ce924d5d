// The "nelder_mead" fit: a downhill simplex in search coordinates, its best
// vertex polished by the multi-start Levenberg-Marquardt fit.
#pragma once

#include <cstdint>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/global/search_frame.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

// The simplex search alone: n + 1 evaluations for the initial simplex, then
// one to n + 2 per iteration.
Result<SearchOutcome, FitError> nelder_mead_search(SearchFrame& frame, std::uint64_t max_iters);

// Stops when the spread of vertex costs falls below 2^-52 or after
// `max_iters` iterations; the polish is told the completed iterations.
Result<FitOutcome, FitError> nelder_mead_fit(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                             std::uint64_t max_iters);

}  // namespace kelvra
