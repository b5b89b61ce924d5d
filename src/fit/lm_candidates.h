// The starting points of the multi-start fit and the test that ends it early
// with a physically plausible result.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "elements/element.h"

namespace kelvra {

// Which starting points the multi-start fit tries and when it stops.
//  UntilPlausible: in order of cost, until a result is plausible.
//  UntilPlausibleOrRepeat: as UntilPlausible, and also stops at a result that
//    repeats an earlier candidate's (same_result) when both are implausible
//    only through bounded parameters on their bounds, and those parameters
//    started from different values: from two starts the fit ends on the same
//    bound, so the best fit lies there and the later candidates, rescalings
//    and spreads of the same start, end there too. (A result with an open
//    parameter collapsed towards its floor is a local minimum that later
//    starts do escape; it never ends the loop early.)
//  GivenOnly: the circuit's own values alone. A screening fit, which only
//    compares how well several circuits describe one spectrum, uses it: a
//    circuit that does not describe the data never ends plausibly and would
//    otherwise pay for every start.
enum class LmStarts { UntilPlausible, UntilPlausibleOrRepeat, GivenOnly };

// The rules a caller may choose by name (Circuit.fit's `early_stop`). The
// first is the one a fit uses when none is named.
struct EarlyStopRule {
  std::string_view name;
  LmStarts starts;
  std::string_view summary;
};
inline constexpr std::array<EarlyStopRule, 2> kEarlyStopRules = {{
    {"plausible", LmStarts::UntilPlausible, "stop at the first plausible result"},
    {"repeat", LmStarts::UntilPlausibleOrRepeat,
     "stop at the first plausible result, or when a second start ends on the same bounds as an earlier one"},
}};

std::optional<LmStarts> early_stop_named(std::string_view name);

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

// A converged result with a finite cost whose open parameters all pass the
// plausibility test: whatever makes it implausible is a bounded parameter on
// a bound.
bool implausible_only_on_bounds(std::span<const double> params, double cost, bool success,
                                std::span<const double> p0, std::span<const Bounds> bounds);

// What decides whether two candidates ended at the same point: which
// parameters sit on which bound, the solver's verdict and the cost.
struct ResultSignature {
  // Per parameter: -1 on its lower bound, +1 on its upper bound, 0 inside.
  std::vector<signed char> bound_sides;
  bool success;
  double cost;
  std::vector<double> start;  // the candidate the run started from
};

// A bounded parameter within the plausibility margin of a bound, or an open
// parameter at its lower bound, is on that bound.
ResultSignature result_signature(std::span<const double> params, double cost, bool success,
                                 std::span<const Bounds> bounds, std::span<const double> start);

// The same bound sides, the same verdict and finite costs within
// kRepeatCostTolerance of each other, relative to the larger, reached from
// starts that differ in a parameter that ended on a bound.
bool same_result(const ResultSignature& a, const ResultSignature& b);

// Two runs that converge to one minimum stop where the relative reduction of
// the sum of squares falls below ftol (1e-8 by default), so their costs agree
// to a few times that; 1e-6 leaves a hundredfold margin, while distinct
// minima of a noisy spectrum differ by far more.
inline constexpr double kRepeatCostTolerance = 1e-6;

}  // namespace kelvra
