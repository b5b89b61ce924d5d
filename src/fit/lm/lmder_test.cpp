#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fit/lm/lm_solver.h"
#include "fit/lm/minpack_problems.h"

namespace kelvra {
namespace {

using testing::minpack_problem;
using testing::minpack_problems;
using testing::RecordingProblem;
using testing::residual_norm;
using testing::sum_of_squares;
using testing::TestFunction;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Published minima carry six significant digits.
constexpr double kPublishedRelTol = 1e-5;
// Problems with a zero minimum must get this close to it.
constexpr double kZeroMinimumTol = 1e-20;

bool all_finite(std::span<const double> x) {
  return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

// Properties every run that did not stop on NonFinite must have.
void expect_sound_run(const TestFunction& fn, const RecordingProblem& problem, const LmReport& report) {
  EXPECT_EQ(report.evaluations, problem.residual_calls);
  EXPECT_TRUE(all_finite(problem.params()));
  // Accepted steps only ever lower ||f||, so the last accepted point is the
  // best one evaluated; a run must not end elsewhere.
  EXPECT_EQ(residual_norm(fn, problem.params()), problem.best_norm);
  // The QR of one Jacobian serves every trial of its iteration, so no point
  // gets a second Jacobian.
  for (std::size_t a = 0; a < problem.jacobian_points.size(); ++a) {
    for (std::size_t b = a + 1; b < problem.jacobian_points.size(); ++b) {
      EXPECT_NE(problem.jacobian_points[a], problem.jacobian_points[b]) << "Jacobian recomputed at one point";
    }
  }
  EXPECT_LE(problem.jacobian_points.size(), report.evaluations);
}


class MinpackProblems : public ::testing::TestWithParam<TestFunction> {};

TEST_P(MinpackProblems, AnalyticJacobianMatchesCentralDifferences) {
  const TestFunction& fn = GetParam();
  const std::size_t n = fn.start.size();
  std::vector<double> jac(fn.m * n), fp(fn.m), fm(fn.m);
  fn.jacobian(fn.start, jac);
  for (std::size_t j = 0; j < n; ++j) {
    std::vector<double> x = fn.start;
    const double h = 1e-6 * std::max(1.0, std::fabs(x[j]));
    x[j] = fn.start[j] + h;
    fn.residuals(x, fp);
    x[j] = fn.start[j] - h;
    fn.residuals(x, fm);
    for (std::size_t i = 0; i < fn.m; ++i) {
      const double fd = (fp[i] - fm[i]) / (2.0 * h);
      EXPECT_NEAR(jac[i + j * fn.m], fd, 1e-5 * std::max(1.0, std::fabs(fd))) << "(" << i << ", " << j << ")";
    }
  }
}

TEST_P(MinpackProblems, ReachesPublishedMinimumWithSuccess) {
  const TestFunction& fn = GetParam();
  RecordingProblem problem(fn, fn.start);
  const LmReport report = lm_minimize(problem, LmSettings{});
  const double ssq = sum_of_squares(fn, problem.params());

  EXPECT_TRUE(is_success(report.stop)) << static_cast<int>(report.stop);
  if (fn.min_sum_of_squares == 0.0) {
    EXPECT_LE(ssq, kZeroMinimumTol);
  } else {
    EXPECT_NEAR(ssq, fn.min_sum_of_squares, kPublishedRelTol * fn.min_sum_of_squares);
  }
  EXPECT_LE(report.evaluations, LmSettings{}.patience * (fn.start.size() + 1));
  expect_sound_run(fn, problem, report);
}

INSTANTIATE_TEST_SUITE_P(Lmder, MinpackProblems, ::testing::ValuesIn(minpack_problems()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Lmder, LinearProblemConvergesFromAnyStartInFewIterations) {
  const TestFunction& fn = minpack_problem("linear_full_rank");
  constexpr std::size_t kFewIterations = 4;
  for (const double start : {0.0, 1.0, -7.5, 1e6}) {
    for (const double tol : {1e-8, 0.0}) {
      RecordingProblem problem(fn, std::vector<double>(fn.start.size(), start));
      LmSettings settings;
      settings.ftol = tol;
      settings.xtol = tol;
      const LmReport report = lm_minimize(problem, settings);
      EXPECT_NEAR(sum_of_squares(fn, problem.params()), fn.min_sum_of_squares, 1e-12) << start << " " << tol;
      if (tol > 0.0) {
        EXPECT_TRUE(is_success(report.stop)) << start;
        EXPECT_LE(problem.jacobian_points.size(), kFewIterations) << start;
      } else {
        EXPECT_NE(report.stop, LmStop::NonFinite) << start;
      }
      expect_sound_run(fn, problem, report);
    }
  }
}

// A run that must end before its first step: the stop and the evaluations.
struct CustomProblem {
  const char* name;
  TestFunction fn;
  LmStop stop;
  std::uint64_t evaluations;
};

void nan_residuals(std::span<const double>, std::span<double> f) { std::fill(f.begin(), f.end(), kNaN); }
void inf_residual(std::span<const double>, std::span<double> f) {
  std::fill(f.begin(), f.end(), 1.0);
  f[0] = kInf;
}
void unit_residuals(std::span<const double>, std::span<double> f) { std::fill(f.begin(), f.end(), 1.0); }
void nan_jacobian(std::span<const double>, std::span<double> jac) { std::fill(jac.begin(), jac.end(), kNaN); }
void identity_jacobian(std::span<const double> x, std::span<double> jac) {
  std::fill(jac.begin(), jac.end(), 0.0);
  const std::size_t m = jac.size() / x.size();
  for (std::size_t j = 0; j < std::min(m, x.size()); ++j) jac[j + j * m] = 1.0;
}

TEST(Lmder, StopsBeforeAnyStep) {
  const TestFunction& rosenbrock = minpack_problem("rosenbrock");
  const std::vector<CustomProblem> cases = {
      {"zero residuals at start", {"r", 2, {1.0, 1.0}, rosenbrock.residuals, rosenbrock.jacobian, 0}, LmStop::ZeroResiduals, 1},
      {"NaN residuals at start", {"r", 3, {1.0, 2.0}, nan_residuals, identity_jacobian, 0}, LmStop::NonFinite, 1},
      {"infinite residual at start", {"r", 3, {1.0, 2.0}, inf_residual, identity_jacobian, 0}, LmStop::NonFinite, 1},
      {"NaN Jacobian", {"r", 3, {1.0, 2.0}, unit_residuals, nan_jacobian, 0}, LmStop::NonFinite, 1},
      {"no parameters", {"r", 3, {}, unit_residuals, identity_jacobian, 0}, LmStop::EmptyProblem, 0},
      {"no residuals", {"r", 0, {1.0}, unit_residuals, identity_jacobian, 0}, LmStop::EmptyProblem, 0},
  };
  for (const CustomProblem& c : cases) {
    RecordingProblem problem(c.fn, c.fn.start);
    const LmReport report = lm_minimize(problem, LmSettings{});
    EXPECT_EQ(report.stop, c.stop) << c.name;
    EXPECT_EQ(report.evaluations, c.evaluations) << c.name;
    EXPECT_EQ(problem.residual_calls, c.evaluations) << c.name;
    EXPECT_EQ(std::vector<double>(problem.params().begin(), problem.params().end()), c.fn.start) << c.name;
  }
}

// f = (1, 1/u): the sum of squares 1 + 1/u^2 falls ever more slowly as u
// grows without bound, the shape of a parameter sliding off to where the
// data no longer decide it.
void receding_residuals(std::span<const double> x, std::span<double> f) {
  f[0] = 1.0;
  f[1] = 1.0 / x[0];
}
void receding_jacobian(std::span<const double> x, std::span<double> jac) {
  jac[0] = 0.0;
  jac[1] = -1.0 / (x[0] * x[0]);
}

// The settle test ends such a crawl, as a success, once a window's gain is
// below its tolerance; the solver's own tests run far longer. Without a
// window nothing changes.
TEST(Lmder, SettleWindowEndsACrawlThatTheOwnTestsLetRun) {
  const TestFunction fn{"receding", 2, {1.0}, receding_residuals, receding_jacobian, 1.0};
  LmSettings tight;
  tight.ftol = tight.xtol = 1e-15;
  RecordingProblem crawling(fn, fn.start);
  const LmReport crawled = lm_minimize(crawling, tight);

  LmSettings settling = tight;
  settling.settle_window = 2;
  settling.settle_tolerance = 1e-4;
  RecordingProblem settled(fn, fn.start);
  const LmReport report = lm_minimize(settled, settling);
  EXPECT_EQ(report.stop, LmStop::Settled);
  EXPECT_TRUE(is_success(report.stop));
  EXPECT_LT(report.evaluations, crawled.evaluations);
  // The last window gained at most the tolerance: 1/u^2 is that small.
  EXPECT_LT(1.0 / (settled.params()[0] * settled.params()[0]), 1e-3);
  expect_sound_run(fn, settled, report);

  settling.settle_window = 0;
  RecordingProblem unchanged(fn, fn.start);
  EXPECT_EQ(lm_minimize(unchanged, settling).evaluations, crawled.evaluations);
}

// Where the problem says its point lies beyond its bounds, a window settles
// at the looser tolerance, and the window ending at every accepted point is
// tested, not only the end of each consecutive one; inside them the
// tolerance of the bounds beyond plays no part.
TEST(Lmder, BeyondTheBoundsARunSettlesAtItsOwnTolerance) {
  struct Placed : RecordingProblem {
    using RecordingProblem::RecordingProblem;
    bool beyond_bounds() const override { return beyond; }
    bool beyond = false;
  };
  const TestFunction fn{"receding", 2, {1.0}, receding_residuals, receding_jacobian, 1.0};
  LmSettings settings;
  settings.ftol = settings.xtol = 1e-15;
  settings.settle_window = 2;
  settings.settle_tolerance = 1e-4;
  const auto run = [&](bool beyond, double tolerance_beyond) {
    settings.settle_tolerance_beyond_bounds = tolerance_beyond;
    Placed problem(fn, fn.start);
    problem.beyond = beyond;
    const LmReport report = lm_minimize(problem, settings);
    EXPECT_EQ(report.stop, LmStop::Settled);
    expect_sound_run(fn, problem, report);
    return report.evaluations;
  };
  const std::uint64_t inside = run(false, 1e-2);
  EXPECT_LT(run(true, 1e-2), inside);
  EXPECT_EQ(run(false, 0.5), inside);
  EXPECT_LT(run(true, 1e-4), inside);
}

// A receding run that must beat a best sum of squares: below 1 it never
// can, and once it heads for no better it is abandoned before the crawl
// would end. At 1.002 it still stands above the best when the first window
// ends, but falls fast enough to head well below, and soon gets there. The
// run the lag window ends is still a sound one, at its last accepted point.
TEST(Lmder, LagWindowAbandonsOnlyARunHeadingForNoBetterThanTheBest) {
  struct Racing : RecordingProblem {
    using RecordingProblem::RecordingProblem;
    bool abandon_heading_for(double sum_of_squares) override { return sum_of_squares > best; }
    double best = 0.0;
  };
  const TestFunction fn{"receding", 2, {1.0}, receding_residuals, receding_jacobian, 1.0};
  LmSettings settings;
  settings.ftol = settings.xtol = 1e-15;
  RecordingProblem crawling(fn, fn.start);
  const LmReport crawled = lm_minimize(crawling, settings);

  settings.lag_window = 2;
  const struct {
    double best;
    bool abandoned;
  } cases[] = {{0.999, true}, {1.002, false}};
  for (const auto& c : cases) {
    Racing racing(fn, fn.start);
    racing.best = c.best;
    const LmReport report = lm_minimize(racing, settings);
    EXPECT_EQ(report.stop == LmStop::Abandoned, c.abandoned) << c.best;
    if (c.abandoned) {
      EXPECT_LT(report.evaluations, crawled.evaluations);
    } else {
      EXPECT_EQ(report.evaluations, crawled.evaluations);
    }
    expect_sound_run(fn, racing, report);
  }
}

TEST(Lmder, PatienceOneWithThreeParametersAllowsFourEvaluations) {
  const TestFunction& fn = minpack_problem("bard");
  RecordingProblem problem(fn, fn.start);
  LmSettings settings;
  settings.patience = 1;
  const LmReport report = lm_minimize(problem, settings);
  EXPECT_LE(report.evaluations, 4u);
  if (!is_success(report.stop)) {
    EXPECT_EQ(report.stop, LmStop::EvaluationLimit);
    EXPECT_EQ(report.evaluations, 4u);
  }
  expect_sound_run(fn, problem, report);
}

TEST(Lmder, ZeroPatienceIsTreatedAsOne) {
  const TestFunction& fn = minpack_problem("meyer");
  RecordingProblem problem(fn, fn.start);
  LmSettings settings;
  settings.patience = 0;
  const LmReport report = lm_minimize(problem, settings);
  EXPECT_EQ(report.stop, LmStop::EvaluationLimit);
  EXPECT_EQ(report.evaluations, 4u);
  expect_sound_run(fn, problem, report);
}

// Rosenbrock, undefined outside |x_i| <= 2: the Gauss-Newton step from the
// standard start lands outside, so the first trials see NaN.
constexpr double kRosenbrockDomain = 2.0;
void rosenbrock_in_box_f(std::span<const double> x, std::span<double> f) {
  minpack_problem("rosenbrock").residuals(x, f);
  if (std::fabs(x[0]) > kRosenbrockDomain || std::fabs(x[1]) > kRosenbrockDomain) {
    std::fill(f.begin(), f.end(), kNaN);
  }
}

TEST(Lmder, NanTrialsAreRejectedAndTheRunStillConverges) {
  const TestFunction& rosenbrock = minpack_problem("rosenbrock");
  const TestFunction fn{"rosenbrock_in_box", 2, rosenbrock.start, rosenbrock_in_box_f, rosenbrock.jacobian, 0.0};
  RecordingProblem problem(fn, fn.start);
  const LmReport report = lm_minimize(problem, LmSettings{});
  EXPECT_TRUE(is_success(report.stop)) << static_cast<int>(report.stop);
  EXPECT_GT(problem.non_finite_calls, 0u);
  EXPECT_LE(sum_of_squares(fn, problem.params()), kZeroMinimumTol);
  expect_sound_run(fn, problem, report);
}

// Fewer residuals than parameters: an underdetermined system with a
// manifold of exact solutions.
void sphere_and_product_f(std::span<const double> x, std::span<double> f) {
  f[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] - 3.0;
  f[1] = x[0] * x[1] * x[2] - 1.0;
}
void sphere_and_product_j(std::span<const double> x, std::span<double> jac) {
  for (std::size_t j = 0; j < 3; ++j) jac[2 * j] = 2.0 * x[j];
  jac[1] = x[1] * x[2], jac[3] = x[0] * x[2], jac[5] = x[0] * x[1];
}
void plane_f(std::span<const double> x, std::span<double> f) { f[0] = x[0] + 2.0 * x[1] - 4.0 * x[2] - 1.0; }
void plane_j(std::span<const double>, std::span<double> jac) { jac[0] = 1.0, jac[1] = 2.0, jac[2] = -4.0; }

TEST(Lmder, FewerResidualsThanParametersReachesAnExactSolution) {
  const std::vector<TestFunction> cases = {
      {"sphere_and_product", 2, {2.0, 0.5, 0.3}, sphere_and_product_f, sphere_and_product_j, 0.0},
      {"plane", 1, {3.0, -1.0, 8.0}, plane_f, plane_j, 0.0},
      {"plane from origin", 1, {0.0, 0.0, 0.0}, plane_f, plane_j, 0.0},
  };
  for (const TestFunction& fn : cases) {
    RecordingProblem problem(fn, fn.start);
    const LmReport report = lm_minimize(problem, LmSettings{});
    EXPECT_TRUE(is_success(report.stop)) << fn.name << " " << static_cast<int>(report.stop);
    EXPECT_LE(sum_of_squares(fn, problem.params()), kZeroMinimumTol) << fn.name;
    expect_sound_run(fn, problem, report);
  }
}

}  // namespace
}  // namespace kelvra
