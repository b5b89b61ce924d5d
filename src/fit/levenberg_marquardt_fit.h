// The default fit: the LM solver run from nine starting points, open
// parameters searched in log10 space, bounded parameters frozen at a bound
// for a second run, stopping at the first plausible result (or as `starts`
// says, lm_candidates.h).
#pragma once

#include <cstdint>
#include <span>

#include "circuit/tree.h"
#include "fit/fit_outcome.h"
#include "fit/lm_candidates.h"
#include "fit/lm/lm_solver.h"
#include "fit/param_controls.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

// With `controls` (from apply_param_controls on this circuit) the fit moves
// only the parameters not fixed, searches and clamps within the controls'
// bounds, and leaves the fixed ones exactly at their values; the starting
// points it adds never move a fixed parameter either. `jacobian` is how the
// runs take their Jacobian; the outcome's statistics always use central
// differences.
Result<FitOutcome, FitError> levenberg_marquardt_fit(const Series& circuit, const Spectrum& spectrum,
                                                     Weighting weighting, const LmSettings& settings,
                                                     LmStarts starts = LmStarts::UntilPlausible,
                                                     const ParamControls* controls = nullptr,
                                                     JacobianMethod jacobian = JacobianMethod::CentralDifference);

// The same fit on a prepared spectrum that has passed check_fit_inputs with
// `circuit`, with settings that pass check_lm_settings.
FitOutcome levenberg_marquardt_fit(const Series& circuit, const PreparedSpectrum& data, const LmSettings& settings,
                                   LmStarts starts = LmStarts::UntilPlausible,
                                   const ParamControls* controls = nullptr,
                                   JacobianMethod jacobian = JacobianMethod::CentralDifference);

// Refines a global method's best physical point with the multi-start fit
// and keeps the better of the polished and the unpolished outcome. `data`
// has passed check_fit_inputs with `circuit`.
FitOutcome polish_or_fallback(const Series& circuit, std::span<const double> best, std::uint64_t iterations,
                              const PreparedSpectrum& data, EvalCounter& counter);

}  // namespace kelvra
