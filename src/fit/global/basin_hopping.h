// The "basin_hopping" fit: random jumps in search coordinates, each followed
// by a complete multi-start Levenberg-Marquardt fit, with a Metropolis test
// deciding whether the walk moves to the new local minimum. The best minimum
// found is the result; there is no separate polish.
#pragma once

#include <cstdint>
#include <optional>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/global/chacha_rng.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

// Whether the walk moves from a minimum of cost `current` to one of cost
// `candidate`. A non-finite candidate is refused without a draw; a lower
// candidate is taken without a draw; otherwise one acceptance draw U decides
// exp(-(candidate - current) / T) > U. A walk stuck at a NaN cost moves to any
// finite minimum without a draw, since no comparison with NaN could ever let
// it leave.
bool metropolis_accepts(double current, double candidate, double temperature, ChaChaRng& rng);

// The local fits use the fixed settings (tolerances 1e-8, patience 200)
// whatever the caller's LM options. `iterations` of the result sums every
// local fit's count; `impedance_evals` counts only the final statistics
// (1 + 2n), the local fits counting on counters of their own.
Result<FitOutcome, FitError> basin_hopping_fit(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                               std::uint32_t hops, double step_size, double temperature,
                                               std::optional<std::uint64_t> seed);

}  // namespace kelvra
