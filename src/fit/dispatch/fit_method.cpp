#include "fit/dispatch/fit_method.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fit/global/basin_hopping.h"
#include "fit/global/differential_evolution.h"
#include "fit/global/nelder_mead.h"
#include "fit/global/particle_swarm.h"
#include "fit/global/simulated_annealing.h"
#include "fit/levenberg_marquardt_fit.h"
#include "support/text.h"

namespace kelvra {
namespace {

using MethodRunner = Result<FitOutcome, FitError> (*)(const Series&, const Spectrum&, Weighting, const FitOptions&);

struct MethodEntry {
  std::string_view name;
  MethodRunner run;
  // Draws random numbers yet takes no seed: its fits do not repeat.
  bool unseeded = false;
};

// Each method reads only its own options; differential evolution is never
// seeded.
const std::array<MethodEntry, kFitMethodCount> kMethods = {{
    {"levenberg_marquardt",
     [](const Series& c, const Spectrum& s, Weighting w, const FitOptions& o) {
       LmSettings settings;
       settings.ftol = o.ftol;
       settings.xtol = o.xtol;
       settings.patience = o.max_iterations;
       settings.settle_window = o.early_stop.settle_window;
       settings.settle_tolerance = kSettleTolerance;
       settings.settle_tolerance_beyond_bounds = kSettleToleranceBeyondBounds;
       settings.lag_window = o.early_stop.lag_window;
       const LmStarts starts =
           o.early_stop.join_paths ? LmStarts::UntilPlausibleJoiningPaths : LmStarts::UntilPlausible;
       return levenberg_marquardt_fit(c, s, w, settings, starts, o.controls ? &*o.controls : nullptr, o.jacobian);
     }},
    {"nelder_mead",
     [](const Series& c, const Spectrum& s, Weighting w, const FitOptions& o) {
       return nelder_mead_fit(c, s, w, o.nelder_mead_iterations);
     }},
    {"particle_swarm",
     [](const Series& c, const Spectrum& s, Weighting w, const FitOptions& o) {
       return particle_swarm_fit(c, s, w, o.num_particles, o.generations, o.seed);
     }},
    {"simulated_annealing",
     [](const Series& c, const Spectrum& s, Weighting w, const FitOptions& o) {
       return simulated_annealing_fit(c, s, w, o.sa_initial_temperature, o.sa_iterations, o.seed);
     }},
    {"differential_evolution",
     [](const Series& c, const Spectrum& s, Weighting w, const FitOptions& o) {
       return differential_evolution_fit(c, s, w, o.de_evaluations);
     },
     true},
    {"basin_hopping",
     [](const Series& c, const Spectrum& s, Weighting w, const FitOptions& o) {
       return basin_hopping_fit(c, s, w, o.basin_hopping_hops, o.basin_hopping_step_size,
                                o.basin_hopping_temperature, o.seed);
     }},
}};

// A count argument read by one method, with its least and greatest values.
// A search with no budget would hand its start to the polish unsearched and
// report that as the method's success.
struct CountLimit {
  std::string_view method;
  std::string_view argument;
  std::uint64_t (*read)(const FitOptions&);
  std::uint64_t minimum;
  std::uint64_t limit;
};

// Basin hopping without a hop is still its first local fit.
constexpr std::uint64_t kMinSearchBudget = 1;
constexpr std::uint64_t kMinHops = 0;

const std::array<CountLimit, 5> kCountLimits = {{
    {"nelder_mead", "nelder_mead_iterations", [](const FitOptions& o) { return o.nelder_mead_iterations; },
     kMinSearchBudget, kMaxNelderMeadIterations},
    {"particle_swarm", "generations", [](const FitOptions& o) { return o.generations; }, kMinSearchBudget,
     kMaxGenerations},
    {"simulated_annealing", "sa_iterations", [](const FitOptions& o) { return o.sa_iterations; },
     kMinSearchBudget, kMaxSaIterations},
    {"differential_evolution", "de_evaluations", [](const FitOptions& o) { return o.de_evaluations; },
     kMinSearchBudget, kMaxDeEvaluations},
    {"basin_hopping", "basin_hopping_hops", [](const FitOptions& o) -> std::uint64_t { return o.basin_hopping_hops; },
     kMinHops, kMaxBasinHoppingHops},
}};

std::optional<FitError> check_count_limits(std::string_view method, const FitOptions& options) {
  for (const CountLimit& count : kCountLimits) {
    if (count.method != method) continue;
    const std::uint64_t value = count.read(options);
    if (value < count.minimum) {
      return FitError{fit_error::InvalidSetting{std::string(count.argument) + " must be at least " +
                                                std::to_string(count.minimum)}};
    }
    if (value > count.limit) {
      return FitError{fit_error::InvalidSetting{std::string(count.argument) + " must be at most " +
                                                std::to_string(count.limit)}};
    }
  }
  return std::nullopt;
}

}  // namespace

std::array<std::string_view, kFitMethodCount> fit_method_names() {
  std::array<std::string_view, kFitMethodCount> names;
  for (std::size_t i = 0; i < kMethods.size(); ++i) names[i] = kMethods[i].name;
  return names;
}

std::vector<std::string_view> unseeded_fit_methods() {
  std::vector<std::string_view> names;
  for (const MethodEntry& entry : kMethods) {
    if (entry.unseeded) names.push_back(entry.name);
  }
  return names;
}

Result<FitOutcome, FitError> run_fit_method(std::string_view method, const Series& circuit,
                                            const Spectrum& spectrum, Weighting weighting,
                                            const FitOptions& options) {
  if (auto error = check_count_limits(method, options)) return fail(std::move(*error));
  if (options.controls && method != kMethods[0].name && std::any_of(kMethods.begin(), kMethods.end(),
                                                                    [&](const auto& e) { return e.name == method; })) {
    return fail(FitError{fit_error::InvalidSetting{
        "fixed parameters and bounds need method \"levenberg_marquardt\", not " + debug_quoted(method)}});
  }
  for (const MethodEntry& entry : kMethods) {
    if (entry.name == method) return entry.run(circuit, spectrum, weighting, options);
  }
  return fail(FitError{fit_error::UnknownMethod{std::string(method)}});
}

}  // namespace kelvra
