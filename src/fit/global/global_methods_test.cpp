#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "circuit/params.h"
#include "fit/dispatch/fit_method.h"
#include "fit/fit_test_support.h"
#include "fit/global/basin_hopping.h"
#include "fit/global/differential_evolution.h"
#include "fit/global/nelder_mead.h"
#include "fit/global/particle_swarm.h"
#include "fit/search_coordinates.h"
#include "fit/global/simulated_annealing.h"
#include "fit/levenberg_marquardt_fit.h"

namespace kelvra {
namespace {

using fit_testing::circuit_of;
using fit_testing::log_frequencies;
using fit_testing::synthetic_spectrum;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// "R0-(R1,C1)": R0.r, R1.r, C1.c.
constexpr std::array<double, 3> kTruth = {10.0, 100.0, 1e-5};
constexpr std::array<double, 3> kStart = {20.0, 50.0, 3e-5};
constexpr std::size_t kParams = kTruth.size();

struct RcProblem {
  Series shape = circuit_of("R0-(R1,C1)");
  Series start = rebuild(shape, kStart);
  Spectrum spectrum = synthetic_spectrum(shape, kTruth, log_frequencies(20, -1.0, 5.0));
};

// Small enough to keep the tests fast, large enough for every search to hand
// the polish a point it can finish from.
FitOptions small_options() {
  FitOptions o;
  o.num_particles = 20;
  o.generations = 20;
  o.nelder_mead_iterations = 200;
  o.de_evaluations = 200;
  o.sa_iterations = 200;
  o.basin_hopping_hops = 2;
  o.seed = 7;
  return o;
}

const std::array<const char*, 5> kGlobalMethods = {"nelder_mead", "particle_swarm", "simulated_annealing",
                                                   "differential_evolution", "basin_hopping"};

TEST(GlobalMethods, EachRecoversANoiselessFit) {
  const RcProblem problem;
  for (const char* method : kGlobalMethods) {
    SCOPED_TRACE(method);
    const Result<FitOutcome, FitError> fit =
        run_fit_method(method, problem.start, problem.spectrum, Weighting::Modulus, small_options());
    ASSERT_TRUE(fit.ok()) << display(fit.error());
    EXPECT_TRUE(fit.value().success);
    EXPECT_LT(fit.value().cost, 1e-16);
    for (std::size_t j = 0; j < kParams; ++j) EXPECT_NEAR(fit.value().params[j] / kTruth[j], 1.0, 1e-6);
    EXPECT_EQ(fit.value().param_names, (std::vector<std::string>{"R0.r", "R1.r", "C1.c"}));
  }
}

TEST(GlobalMethods, MethodNamesAreCaseSensitive) {
  const RcProblem problem;
  const auto fit = run_fit_method("Nelder_Mead", problem.start, problem.spectrum, Weighting::Modulus, {});
  ASSERT_FALSE(fit.ok());
  EXPECT_TRUE(std::holds_alternative<fit_error::UnknownMethod>(fit.error()));
}

struct SettingCase {
  const char* method;
  std::function<void(FitOptions&)> set;
  std::string message;
};

TEST(GlobalMethods, RejectUnusableSettingsAfterTheInputChecks) {
  const std::string temperature_message = "sa_initial_temperature must be > 0";
  const std::string step_message = "basin_hopping_step_size must be finite and >= 0";
  const std::vector<SettingCase> table = {
      {"particle_swarm", [](FitOptions& o) { o.num_particles = 0; }, "num_particles must be at least 1"},
      {"particle_swarm", [](FitOptions& o) { o.num_particles = kMaxParticles + 1; },
       "num_particles must be at most 1048576"},
      {"simulated_annealing", [](FitOptions& o) { o.sa_initial_temperature = 0.0; }, temperature_message},
      {"simulated_annealing", [](FitOptions& o) { o.sa_initial_temperature = -1.0; }, temperature_message},
      {"simulated_annealing", [](FitOptions& o) { o.sa_initial_temperature = -kInf; }, temperature_message},
      {"simulated_annealing", [](FitOptions& o) { o.sa_initial_temperature = kNaN; },
       "sa_initial_temperature must be finite"},
      {"simulated_annealing", [](FitOptions& o) { o.sa_initial_temperature = kInf; },
       "sa_initial_temperature must be finite"},
      {"basin_hopping", [](FitOptions& o) { o.basin_hopping_step_size = -1.0; }, step_message},
      {"basin_hopping", [](FitOptions& o) { o.basin_hopping_step_size = kNaN; }, step_message},
      {"basin_hopping", [](FitOptions& o) { o.basin_hopping_step_size = kInf; }, step_message},
  };
  const RcProblem problem;
  const Spectrum empty;
  for (const SettingCase& c : table) {
    SCOPED_TRACE(c.message);
    FitOptions options = small_options();
    c.set(options);
    const auto fit = run_fit_method(c.method, problem.start, problem.spectrum, Weighting::Modulus, options);
    ASSERT_FALSE(fit.ok());
    EXPECT_EQ(display(fit.error()), c.message);
    const auto on_empty = run_fit_method(c.method, problem.start, empty, Weighting::Modulus, options);
    ASSERT_FALSE(on_empty.ok());
    EXPECT_EQ(display(on_empty.error()), "frequencies and impedances must not be empty");
  }
}

struct CountCase {
  const char* name;
  std::function<Result<SearchOutcome, FitError>(SearchFrame&)> search;
  std::uint64_t evaluations;  // cost evaluations before the polish
  std::uint64_t iterations;
};

TEST(GlobalSearches, EvaluationAndIterationCounts) {
  const std::vector<CountCase> table = {
      {"nelder-mead, no iterations", [](SearchFrame& f) { return nelder_mead_search(f, 0); }, kParams + 1, 0},
      {"swarm, no generations", [](SearchFrame& f) { return particle_swarm_search(f, 5, 0, 1); }, 5, 0},
      {"swarm", [](SearchFrame& f) { return particle_swarm_search(f, 5, 3, 1); }, 5 * (3 + 1), 3},
      {"swarm of one", [](SearchFrame& f) { return particle_swarm_search(f, 1, 4, std::nullopt); }, 5, 4},
      {"annealing, no iterations", [](SearchFrame& f) { return simulated_annealing_search(f, 2.0, 0, 1); }, 1, 0},
      {"annealing", [](SearchFrame& f) { return simulated_annealing_search(f, 2.0, 7, 1); }, 8, 7},
      {"evolution, E = 0", [](SearchFrame& f) { return differential_evolution_search(f, 0); }, 10 * 2, 10},
      {"evolution, E = 1", [](SearchFrame& f) { return differential_evolution_search(f, 1); }, 10 * 2, 10},
      {"evolution, E = 150", [](SearchFrame& f) { return differential_evolution_search(f, 150); }, 10 * 151, 1500},
  };
  const RcProblem problem;
  for (const CountCase& c : table) {
    SCOPED_TRACE(c.name);
    SearchFrame frame(problem.start, problem.spectrum, Weighting::Modulus);
    const Result<SearchOutcome, FitError> searched = c.search(frame);
    ASSERT_TRUE(searched.ok()) << display(searched.error());
    EXPECT_EQ(frame.counter.value(), c.evaluations);
    EXPECT_EQ(searched.value().iterations, c.iterations);
    ASSERT_TRUE(searched.value().best.has_value());
    EXPECT_EQ(searched.value().best->size(), kParams);
  }
}

TEST(GlobalSearches, EachSearchImprovesOnItsOwn) {
  // The best point of each search before any polish, against the start's
  // cost of about 3.7. Seeded searches are exact repeats, so their limits
  // hold with a wide margin; differential evolution is unseeded.
  const std::vector<std::pair<std::function<Result<SearchOutcome, FitError>(SearchFrame&)>, double>> table = {
      {[](SearchFrame& f) { return nelder_mead_search(f, 2000); }, 1e-12},
      {[](SearchFrame& f) { return particle_swarm_search(f, 50, 200, 1); }, 1e-12},
      {[](SearchFrame& f) { return simulated_annealing_search(f, 2.0, 5000, 1); }, 1e-5},
      {[](SearchFrame& f) { return differential_evolution_search(f, 3000); }, 0.3},
  };
  const RcProblem problem;
  for (const auto& [search, limit] : table) {
    SearchFrame frame(problem.start, problem.spectrum, Weighting::Modulus);
    const Result<SearchOutcome, FitError> searched = search(frame);
    ASSERT_TRUE(searched.ok());
    PsoProblem cost(frame);
    EXPECT_GT(cost.cost(to_search_coordinates(frame.bounds, frame.start)), 3.0);
    EXPECT_LT(cost.cost(*searched.value().best), limit) << searched.value().iterations;
  }
}

TEST(GlobalSearches, SeededSearchesRepeatAndUnseededEvolutionDoesNot) {
  using Run = std::function<Result<SearchOutcome, FitError>(SearchFrame&)>;
  const RcProblem problem;
  const auto best_of = [&](const Run& run) {
    SearchFrame frame(problem.start, problem.spectrum, Weighting::Modulus);
    return run(frame).value().best.value();
  };
  const std::vector<std::pair<Run, Run>> seeded = {
      {[](SearchFrame& f) { return particle_swarm_search(f, 6, 5, 11); },
       [](SearchFrame& f) { return particle_swarm_search(f, 6, 5, 12); }},
      {[](SearchFrame& f) { return simulated_annealing_search(f, 2.0, 30, 11); },
       [](SearchFrame& f) { return simulated_annealing_search(f, 2.0, 30, 12); }},
  };
  for (const auto& [run, other_seed] : seeded) {
    EXPECT_EQ(best_of(run), best_of(run));
    EXPECT_NE(best_of(run), best_of(other_seed));
  }
  const Run evolution = [](SearchFrame& f) { return differential_evolution_search(f, 1); };
  EXPECT_NE(best_of(evolution), best_of(evolution));
}

TEST(GlobalSearches, SettingsAreRefusedBeforeAnyCost) {
  const RcProblem problem;
  const std::vector<std::function<Result<SearchOutcome, FitError>(SearchFrame&)>> refused = {
      [](SearchFrame& f) { return particle_swarm_search(f, 0, 3, 1); },
      [](SearchFrame& f) { return simulated_annealing_search(f, 0.0, 3, 1); },
      [](SearchFrame& f) { return simulated_annealing_search(f, kNaN, 3, 1); },
      [](SearchFrame& f) {
        // Distinct in double precision, equal once rounded to float.
        f.bounds[0] = Bounds{1.0, 1.0 + 1e-12};
        return differential_evolution_search(f, 5);
      },
  };
  for (const auto& search : refused) {
    SearchFrame frame(problem.start, problem.spectrum, Weighting::Modulus);
    EXPECT_FALSE(search(frame).ok());
    EXPECT_EQ(frame.counter.value(), 0U);
  }
  SearchFrame frame(problem.start, problem.spectrum, Weighting::Modulus);
  frame.bounds[0] = Bounds{1.0, 1.0 + 1e-12};
  EXPECT_EQ(display(differential_evolution_search(frame, 5).error()),
            "differential evolution cannot sample \"R0.r\": its search interval is empty in single precision");
}

TEST(GlobalSearches, SwarmHoldsAZeroWidthBoxEntry) {
  const RcProblem problem;
  SearchFrame frame(problem.start, problem.spectrum, Weighting::Modulus);
  frame.bounds[0] = Bounds{12.5, 12.5};
  const Result<SearchOutcome, FitError> searched = particle_swarm_search(frame, 8, 5, 3);
  ASSERT_TRUE(searched.ok());
  EXPECT_EQ((*searched.value().best)[0], 12.5);
}

TEST(GlobalMethods, NonFiniteDataIsNamedByItsPoint) {
  RcProblem problem;
  problem.spectrum.impedances[3] = Complex{kNaN, 0.0};
  const std::vector<std::pair<std::string, const char*>> table = {
      {"nelder_mead", "nelder-mead"},
      {"simulated_annealing", "simulated annealing"},
      {"differential_evolution", "differential evolution"},
  };
  FitOptions options = small_options();
  options.de_evaluations = 3;
  options.sa_iterations = 5;
  for (const auto& [method, name] : table) {
    SCOPED_TRACE(method);
    const auto fit = run_fit_method(method, problem.start, problem.spectrum, Weighting::Modulus, options);
    ASSERT_FALSE(fit.ok());
    EXPECT_EQ(display(fit.error()),
              std::string("solver error: ") + name + " cannot fit data with a NaN or infinite value (point 3)");
  }
}

// A search without a budget would report its unsearched start as found.
TEST(GlobalMethods, ASearchBudgetOfZeroIsRefused) {
  const std::vector<SettingCase> table = {
      {"nelder_mead", [](FitOptions& o) { o.nelder_mead_iterations = 0; }, "nelder_mead_iterations must be at least 1"},
      {"particle_swarm", [](FitOptions& o) { o.generations = 0; }, "generations must be at least 1"},
      {"simulated_annealing", [](FitOptions& o) { o.sa_iterations = 0; }, "sa_iterations must be at least 1"},
      {"differential_evolution", [](FitOptions& o) { o.de_evaluations = 0; }, "de_evaluations must be at least 1"},
  };
  const RcProblem problem;
  for (const SettingCase& c : table) {
    SCOPED_TRACE(c.message);
    FitOptions options = small_options();
    c.set(options);
    const auto fit = run_fit_method(c.method, problem.start, problem.spectrum, Weighting::Modulus, options);
    ASSERT_FALSE(fit.ok());
    EXPECT_EQ(display(fit.error()), c.message);
  }
  FitOptions no_hops = small_options();
  no_hops.basin_hopping_hops = 0;
  EXPECT_TRUE(run_fit_method("basin_hopping", problem.start, problem.spectrum, Weighting::Modulus, no_hops).ok());
}

TEST(BasinHopping, SeededRunsRepeatAndIgnoreTheLmOptions) {
  const RcProblem problem;
  FitOptions options = small_options();
  options.basin_hopping_step_size = 0.5;
  const auto first = run_fit_method("basin_hopping", problem.start, problem.spectrum, Weighting::Modulus, options);
  options.max_iterations = 5;
  options.ftol = 1e-2;
  const auto second = run_fit_method("basin_hopping", problem.start, problem.spectrum, Weighting::Modulus, options);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().params, second.value().params);
  EXPECT_EQ(first.value().iterations, second.value().iterations);
  EXPECT_EQ(first.value().cost, second.value().cost);
}

TEST(BasinHopping, CountsOnlyTheFinalStatistics) {
  const RcProblem problem;
  const LmSettings fixed{};
  const auto local = levenberg_marquardt_fit(problem.start, problem.spectrum, Weighting::Unit, fixed);
  ASSERT_TRUE(local.ok());
  for (const std::uint32_t hops : {0U, 2U}) {
    SCOPED_TRACE(hops);
    const auto fit = basin_hopping_fit(problem.start, problem.spectrum, Weighting::Unit, hops, 1.0, 1.0, 5);
    ASSERT_TRUE(fit.ok());
    EXPECT_TRUE(fit.value().success);
    EXPECT_EQ(fit.value().impedance_evals, 1 + 2 * kParams);
    if (hops == 0) {
      // No hop: the initial local fit's point and iteration count.
      EXPECT_EQ(fit.value().params, local.value().params);
      EXPECT_EQ(fit.value().iterations, local.value().iterations);
    } else {
      EXPECT_GT(fit.value().iterations, local.value().iterations);
    }
  }
}

TEST(Acceptance, AnnealingTestTable) {
  struct Case {
    double current, candidate, temperature, draw;
    bool accepted;
  };
  const double third = 1.0 + std::log(3.0);  // probability 1/(1 + 3) = 0.25
  const std::vector<Case> table = {
      {2.0, 1.0, 1.0, 0.99, true},     // lower: always
      {1.0, 1.0, 1.0, 0.49, true},     // equal: probability 1/2
      {1.0, 1.0, 1.0, 0.5, false},     //
      {1.0, third, 1.0, 0.24, true},   //
      {1.0, third, 1.0, 0.26, false},  //
      {1.0, kNaN, 1.0, 0.0, false},    // NaN on either side: never
      {kNaN, 1.0, 1.0, 0.0, false},    //
      {kInf, 5.0, 1.0, 0.99, true},    // a finite point leaves +inf
      {kInf, kInf, 1.0, 0.0, false},   //
  };
  for (const Case& c : table) {
    EXPECT_EQ(annealing_accepts(c.current, c.candidate, c.temperature, c.draw), c.accepted)
        << c.current << " -> " << c.candidate << " at " << c.draw;
  }
}

TEST(Acceptance, MetropolisTestTableAndItsDraws) {
  // The first acceptance draw of seed 42 is 0.5265574090027738.
  struct Case {
    double current, candidate, temperature;
    bool accepted, draws;
  };
  const std::vector<Case> table = {
      {5.0, 3.0, 1.0, true, false},                 // lower: no draw
      {5.0, 5.0, 1.0, true, true},                  // equal: exp(0) = 1 > U
      {5.0, 5.0, 0.0, false, true},                 // T = 0: the quotient is NaN
      {5.0, 7.0, 0.0, false, true},                 // T = 0: exp(-inf) = 0
      {5.0, 7.0, -1.0, true, true},                 // negative T takes any finite minimum
      {5.0, 5.0 + std::log(2.0), 1.0, false, true},  // 0.5 < U
      {5.0, 5.5, 1.0, true, true},                  // exp(-0.5) > U
      {5.0, kNaN, 1.0, false, false},               // non-finite: refused without a draw
      {5.0, kInf, 1.0, false, false},               //
      {kInf, 7.0, 1.0, true, false},                //
      {kNaN, 7.0, 1.0, true, false},                // a NaN minimum is left for a finite one
  };
  for (const Case& c : table) {
    SCOPED_TRACE(::testing::Message() << c.current << " -> " << c.candidate << " at T " << c.temperature);
    ChaChaRng rng = ChaChaRng::from_seed(42);
    EXPECT_EQ(metropolis_accepts(c.current, c.candidate, c.temperature, rng), c.accepted);
    ChaChaRng fresh = ChaChaRng::from_seed(42);
    if (c.draws) fresh.next_u64();
    EXPECT_EQ(rng.next_u64(), fresh.next_u64());
  }
}

}  // namespace
}  // namespace kelvra
