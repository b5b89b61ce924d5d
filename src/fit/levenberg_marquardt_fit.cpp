#include "fit/levenberg_marquardt_fit.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "circuit/params.h"
#include "fit/bounds_clamp.h"
#include "fit/fit_inputs.h"
#include "fit/lm_candidates.h"
#include "fit/search_coordinates.h"
#include "fit/lm_problem.h"
#include "fit/run_paths.h"
#include "fit/total_order.h"

namespace kelvra {
namespace {

// The local refinement after a global search: tight tolerances and the
// default evaluation budget, whatever the user passed for the main fit.
constexpr double kPolishTolerance = 1e-8;
constexpr std::uint32_t kPolishPatience = 200;
constexpr LmSettings kPolishSettings{
    .ftol = kPolishTolerance, .xtol = kPolishTolerance, .gtol = kPolishTolerance, .patience = kPolishPatience};

struct Candidate {
  std::vector<double> params;  // physical, unclamped
  double cost;
};

// What one candidate ends with: clamped parameters, their cost and the
// solver's verdict; or, passed over, nothing of its own: its run reached the
// path of an earlier candidate's and would end where that one did, or was
// heading for no better than the best so far.
struct StartResult {
  std::vector<double> params;
  double cost;
  bool success;
  bool passed_over = false;
};

// What every run of one fit shares: the data, the bounds, the settings, the
// counter and one residual buffer for costing.
struct FitContext {
  const Series& circuit;
  const PreparedSpectrum& data;
  std::span<const Bounds> bounds;
  const LmSettings& settings;
  JacobianMethod jacobian;
  EvalCounter& counter;
  std::vector<double> scratch;
  std::vector<bool> fixed;  // held by the user: frozen in every run; empty when none is
  std::span<const double> p0;
  // What a candidate's first run answers to: the earlier first runs' paths,
  // when it may join them, and their best, when it must keep up with it.
  EarlierRuns earlier{};
};

// The round trip through search coordinates (log10 of the distance above
// the floor) can move a frozen open parameter by an ulp: a fixed value is
// written back exactly.
void restore_fixed(const FitContext& fit, std::span<double> params) {
  for (std::size_t j = 0; j < fit.fixed.size(); ++j) {
    if (fit.fixed[j]) params[j] = fit.p0[j];
  }
}

StartResult clamped_result(FitContext& fit, const LmRun& run) {
  std::vector<double> clamped(run.params.size());
  clamp_to_bounds(run.params, fit.bounds, clamped);
  restore_fixed(fit, clamped);
  const double cost = cost_at(fit.circuit, clamped, fit.data, fit.counter, fit.scratch);
  return {std::move(clamped), cost, run.success};
}

// Bounded parameters the run left on or beyond a bound (tested before the
// clamp). Open parameters cannot get there.
std::vector<bool> at_bound_marks(std::span<const double> params, std::span<const Bounds> bounds) {
  std::vector<bool> marks(params.size(), false);
  const std::size_t mapped = std::min(params.size(), bounds.size());
  for (std::size_t j = 0; j < mapped; ++j) {
    marks[j] = !is_open(bounds[j]) && (params[j] <= bounds[j].lo || params[j] >= bounds[j].hi);
  }
  return marks;
}

// Whether a result's cost replaces the best so far: strictly lower, and a
// NaN never wins. A finite cost does replace a NaN best, so one run that ends
// where the model breaks down cannot hide every later, finite result.
bool displaces(double cost, double best_cost) {
  return cost < best_cost || (std::isnan(best_cost) && !std::isnan(cost));
}

// A run from `start` with the `held` parameters (and the user's fixed ones)
// frozen, answering to `earlier` runs; its evaluations are added to
// `evaluations`.
StartResult run_holding(FitContext& fit, std::span<const double> start, std::vector<bool> held,
                        std::uint64_t& evaluations, const EarlierRuns& earlier = {}) {
  for (std::size_t j = 0; j < fit.fixed.size(); ++j) held[j] = held[j] || fit.fixed[j];
  std::vector<double> u(start.size());
  to_search_coordinates(fit.bounds, start, u);
  const LmRun run =
      levenberg_marquardt_single_start(fit.circuit, fit.data, fit.bounds, u, std::move(held), fit.settings,
                                       fit.counter, fit.jacobian, earlier);
  evaluations += run.evaluations;
  if (run.passed_over) return {{}, std::numeric_limits<double>::quiet_NaN(), false, true};
  return clamped_result(fit, run);
}

// Bounded parameters at or beyond a bound that the user did not fix (those
// are held from the start anyway); none when there are none.
std::optional<std::vector<bool>> stuck_marks(const FitContext& fit, std::span<const double> params) {
  std::vector<bool> marks = at_bound_marks(params, fit.bounds);
  for (std::size_t j = 0; j < fit.fixed.size(); ++j) {
    if (fit.fixed[j]) marks[j] = false;
  }
  if (std::none_of(marks.begin(), marks.end(), [](bool b) { return b; })) return std::nullopt;
  return marks;
}

// Run 1 from `start`; when it ends with bounded parameters on their bounds,
// run 2 from the clamped point with those frozen, kept only when its cost is
// strictly lower. `evaluations` receives both runs' counts.
StartResult run_from(FitContext& fit, std::span<const double> start, std::uint64_t& evaluations) {
  evaluations = 0;
  // Only first runs answer to earlier ones: a second run freezes its own
  // parameters and walks a landscape of its own.
  StartResult result = run_holding(fit, start, std::vector<bool>(start.size(), false), evaluations, fit.earlier);
  if (result.passed_over) return result;
  const std::optional<std::vector<bool>> stuck = stuck_marks(fit, result.params);
  if (!stuck) return result;
  StartResult refined = run_holding(fit, result.params, *stuck, evaluations);
  return refined.cost < result.cost ? std::move(refined) : std::move(result);
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); });
}

// The runs from one candidate. The solver moves freely past the open
// parameters' floors, so clamping its end point can cost more than the runs
// gained: the candidate itself, clamped, is kept when it is better than where
// they end. `start_cost` is the candidate's cost at its raw values when the
// caller has it; a clamp that changes no bit of the start then reuses it, so
// that keeping the start costs no evaluation beyond the candidate's costing.
StartResult run_candidate(FitContext& fit, std::span<const double> start, std::optional<double> start_cost,
                          std::uint64_t& evaluations) {
  std::vector<double> clamped_start(start.size());
  clamp_to_bounds(start, fit.bounds, clamped_start);
  const double clamped_cost = start_cost && same_bits(start, clamped_start)
                                  ? *start_cost
                                  : cost_at(fit.circuit, clamped_start, fit.data, fit.counter, fit.scratch);
  StartResult ended = run_from(fit, start, evaluations);
  if (ended.passed_over || !displaces(clamped_cost, ended.cost)) return ended;
  // The runs ended worse than their own start. A start with bounded
  // parameters on their bounds (an exponent of exactly 1, as the learned
  // guess gives for an ideal capacitor) lets run 1 leave through them into
  // a region that clamping then spoils; held there from the start, the rest
  // can still improve.
  if (const std::optional<std::vector<bool>> stuck = stuck_marks(fit, start)) {
    StartResult held = run_holding(fit, clamped_start, *stuck, evaluations);
    if (held.cost < clamped_cost) return held;
  }
  return {std::move(clamped_start), clamped_cost, ended.success};
}

// The plausibility test over the parameters the fit may move: a fixed one
// is where the user put it, which says nothing about the run.
bool plausible_where_free(const StartResult& result, std::span<const double> p0, std::span<const Bounds> bounds,
                          const std::vector<bool>& fixed) {
  if (fixed.empty()) return is_plausible(result.params, result.cost, result.success, p0, bounds);
  std::vector<double> params;
  std::vector<double> starts;
  std::vector<Bounds> free_bounds;
  for (std::size_t j = 0; j < result.params.size(); ++j) {
    if (fixed[j]) continue;
    params.push_back(result.params[j]);
    starts.push_back(p0[j]);
    free_bounds.push_back(bounds[j]);
  }
  return is_plausible(params, result.cost, result.success, starts, free_bounds);
}

}  // namespace

FitOutcome levenberg_marquardt_fit(const Series& circuit, const PreparedSpectrum& data, const LmSettings& settings,
                                   LmStarts starts, const ParamControls* controls, JacobianMethod jacobian) {
  EvalCounter counter;
  const std::vector<Bounds> bounds = controls != nullptr ? controls->bounds : param_bounds(circuit);
  const std::vector<double> p0 = param_values(circuit);
  FitContext fit{circuit, data, bounds, settings, jacobian, counter, std::vector<double>(data.residual_count()), {}, p0};
  if (controls != nullptr && controls->any_fixed()) fit.fixed = controls->fixed;
  std::optional<RunPaths> paths;
  if (starts == LmStarts::UntilPlausibleJoiningPaths) fit.earlier.paths = &paths.emplace(bounds);

  if (starts == LmStarts::GivenOnly) {
    std::uint64_t evaluations = 0;
    const StartResult result = run_candidate(fit, p0, std::nullopt, evaluations);
    return build_outcome(circuit, result.params, result.success, evaluations, data, counter, fit.fixed);
  }

  std::vector<Candidate> candidates;
  for (std::vector<double>& start : candidate_starting_points(p0, bounds)) {
    for (std::size_t j = 0; j < fit.fixed.size(); ++j) {
      if (fit.fixed[j]) start[j] = p0[j];
    }
    const double cost = cost_at(circuit, start, data, counter, fit.scratch);
    candidates.push_back({std::move(start), cost});
  }
  // The cheapest start runs first and equal costs keep their construction
  // order. The total order gives NaN costs a fixed place: a NaN with its sign
  // bit set (what x86 produces for 0/0) sorts first, which costs its run one
  // evaluation before the finite starts take over.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return total_order_less(a.cost, b.cost); });

  // Nine candidates always exist and the first has no earlier run to answer
  // to, so the first iteration always sets `best`.
  std::optional<StartResult> best;
  std::uint64_t iterations = 0;
  for (const Candidate& candidate : candidates) {
    // A cost is half the sum of squares the solver works with.
    if (best) fit.earlier.best_sum_of_squares = 2.0 * best->cost;
    std::uint64_t evaluations = 0;
    StartResult result = run_candidate(fit, candidate.params, candidate.cost, evaluations);
    iterations += evaluations;
    if (paths) paths->close_path();
    // A candidate passed over adds nothing: its run would have ended where
    // an earlier one did, or above the best so far. (Where such a run would
    // have ended plausible, the loop would have stopped with the best it
    // had; going on can only lower the cost.)
    if (result.passed_over) continue;
    const bool stop = plausible_where_free(result, p0, bounds, fit.fixed);
    if (!best || displaces(result.cost, best->cost)) best = std::move(result);
    if (stop) break;
  }
  return build_outcome(circuit, best->params, best->success, iterations, data, counter, fit.fixed);
}

Result<FitOutcome, FitError> levenberg_marquardt_fit(const Series& circuit, const Spectrum& spectrum,
                                                     Weighting weighting, const LmSettings& settings,
                                                     LmStarts starts, const ParamControls* controls,
                                                     JacobianMethod jacobian) {
  if (std::optional<FitError> error = check_fit_inputs(circuit, spectrum)) return fail(std::move(*error));
  if (std::optional<std::string> message = check_lm_settings(settings)) {
    return fail(FitError{fit_error::InvalidSetting{std::move(*message)}});
  }
  return levenberg_marquardt_fit(circuit, PreparedSpectrum::from(spectrum, weighting), settings, starts, controls,
                                 jacobian);
}

FitOutcome polish_or_fallback(const Series& circuit, std::span<const double> best, std::uint64_t iterations,
                              const PreparedSpectrum& data, EvalCounter& counter) {
  FitOutcome fallback = build_outcome(circuit, best, true, iterations, data, counter);

  // The polish starts from the global best as the circuit's own values and
  // counts on a counter of its own (a fresh fit), added in afterwards. The
  // search has checked the inputs, and the polish settings are valid.
  FitOutcome polished = levenberg_marquardt_fit(rebuild(circuit, best), data, kPolishSettings);
  counter.add(polished.impedance_evals);

  // Keep the polish unless it is non-finite or worse. A NaN fallback cost
  // loses to any finite polished cost.
  FitOutcome& chosen = std::isfinite(polished.cost) && !(polished.cost > fallback.cost) ? polished : fallback;
  chosen.impedance_evals = counter.value();
  return chosen;
}

}  // namespace kelvra
