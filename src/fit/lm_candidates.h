// The starting points of the multi-start fit and the test that ends it early
// with a physically plausible result.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "elements/element.h"

namespace kelvra {

// Which starting points the multi-start fit tries.
//  UntilPlausible: in order of cost, until a result is plausible.
//  GivenOnly: the circuit's own values alone. A screening fit, which only
//    compares how well several circuits describe one spectrum, uses it: a
//    circuit that does not describe the data never ends plausibly and would
//    otherwise pay for every start.
//  UntilPlausibleJoiningPaths: as UntilPlausible, but a candidate whose
//    first run reaches the path of an earlier candidate's first run ends
//    there and is passed over (run_paths.h).
// With a lag window in the settings, a later candidate's first run is also
// passed over once it lags (kLagWindow).
enum class LmStarts { UntilPlausible, UntilPlausibleJoiningPaths, GivenOnly };

// A run that has settled: its sum of squares fell by at most
// kSettleTolerance of itself over kSettleWindow * (n + 1) evaluations. Such
// a run is crawling along a valley where the data no longer decide some
// parameter (an element sliding towards nothing, two arcs trading places)
// and would otherwise spend its whole budget there, by far the largest cost
// of a batch. One unit of chi-square noise is about 1 / (2K - n) of the
// cost, a percent for 50 frequencies; the tolerance is a hundredth of that
// over 5 (n + 1) evaluations (fifty for a two-arc circuit), so a run stops
// where its further gains could not be told from noise.
inline constexpr std::uint32_t kSettleWindow = 5;
inline constexpr double kSettleTolerance = 1e-4;

// A run whose point lies beyond a bounded parameter's bound (an exponent
// above 1) settles once the window ending at any of its accepted points
// gained at most one unit of noise. Its chi-square there is not one it can
// end with: its end point is clamped back, and a second run holding the
// parameter on its bound finishes the fit. Creeping on out there, the run
// mostly follows the parameter further past its bound; ended sooner, it
// hands over to the second run sooner. On 8,800 of the batch benchmark's
// noisy spectra (four draws, with the lagging rule) this cut the
// evaluations by 10 to 12 %; 5 chi-squares rose by more than 1 % (at most
// 7 %), 43 fell by more than 1 %, and two fits more were right. The looser
// tolerance alone, tested at the end of each consecutive window as inside
// the bounds, saved 7 to 9 %; a tenth of a unit (1e-3) saved 4 to 5 %.
inline constexpr double kSettleToleranceBeyondBounds = 1e-2;

// A later start's run that lags: at the end of a window of kLagWindow *
// (n + 1) evaluations, were it to keep falling at that window's rate for as
// many evaluations again as it has taken, it would still stand above the
// best result of the earlier starts. Where no start is plausible, most later
// runs end above the first one's result and spend most of a batch's
// evaluations getting there; a short window judges a run before it has
// spent most of them. On 4,400 of the batch benchmark's
// noisy spectra (two draws), passing over lagging runs cut the evaluations
// by a fifth against the joining rule and left every fit's rightness as it
// was: 22 chi-squares rose by more than 1e-6 of themselves, 7 of them by 1
// to 3 % (all within 1.02 times the chi-square of the true parameters), and
// 20 fell. A window of 5 (n + 1) saved only 13 %; one of (n + 1) left 21
// chi-squares of 2,200 over 1 % above the joining rule's.
inline constexpr std::uint32_t kLagWindow = 2;

// How a multi-start fit may stop early, beyond its first plausible result.
struct EarlyStop {
  std::uint32_t settle_window = 0;  // 0: runs end only by the solver's own tests
  bool join_paths = false;  // LmStarts::UntilPlausibleJoiningPaths
  std::uint32_t lag_window = 0;  // 0: no run is passed over for lagging
};

// The rules a caller may choose by name (Circuit.fit's `early_stop`). The
// first is the one a fit uses when none is named.
struct EarlyStopRule {
  std::string_view name;
  EarlyStop stop;
  std::string_view summary;
};
inline constexpr std::array<EarlyStopRule, 4> kEarlyStopRules = {{
    {"plausible", {}, "stop at the first plausible result"},
    {"settled", {kSettleWindow, false},
     "stop at the first plausible result; a run also ends once its chi-square has settled "
     "(fallen by at most 1e-4 of itself over its last 5 (n + 1) evaluations, or 1e-2 while a bounded "
     "parameter stands beyond its bound, where the run's end is clamped back)"},
    {"joined", {kSettleWindow, true},
     "as \"settled\", and a starting point's run also ends once it reaches a point where an earlier "
     "start's run stood, at the same chi-square, since it would end where that one did"},
    {"lagging", {kSettleWindow, true, kLagWindow},
     "as \"joined\", and a later starting point's run also ends once it lags: when, falling at the rate of "
     "its last 2 (n + 1) evaluations for as many evaluations again as it has taken, it would still stand "
     "above the best result so far"},
}};

// p0 itself; p0 with the open parameters scaled by 3, 1/3, 8 and 1/8; p0
// with the bounded parameters at 20, 40, 60 and 80 % of their range. Over
// the first min(p0, bounds) parameters; the rest keep their p0 value.
std::vector<std::vector<double>> candidate_starting_points(std::span<const double> p0,
                                                           std::span<const Bounds> bounds);

// A converged result with a finite cost whose bounded parameters stay
// clear of their bounds and whose open parameters stay above 100 lo and
// within six decades of their start values p0 (ratio in [1e-6, 1e6)).
bool is_plausible(std::span<const double> params, double cost, bool success, std::span<const double> p0,
                  std::span<const Bounds> bounds);

}  // namespace kelvra
