#include "fit/global/nelder_mead.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fit/global/cost_order.h"
#include "fit/search_coordinates.h"

namespace kelvra {
namespace {

constexpr double kReflection = 1.0;   // alpha
constexpr double kExpansion = 2.0;    // gamma
constexpr double kContraction = 0.5;  // rho
constexpr double kShrink = 0.5;       // sigma
// Stop once the sample standard deviation of the vertex costs is below this
// (2^-52): the simplex can no longer tell its vertices apart.
constexpr double kSdTolerance = 2.220446049250313e-16;
// Initial simplex: each coordinate is stepped by this fraction of its
// magnitude, or by the same amount in absolute terms when it is near zero.
constexpr double kInitialStep = 0.1;
constexpr double kNearZero = 1e-8;

struct Vertex {
  std::vector<double> point;
  double cost;
};

double cost_of(const Vertex& v) { return v.cost; }

std::vector<Vertex> initial_simplex(std::span<const double> u0) {
  std::vector<Vertex> simplex(u0.size() + 1, Vertex{std::vector<double>(u0.begin(), u0.end()), 0.0});
  for (std::size_t i = 0; i < u0.size(); ++i) {
    const double magnitude = std::abs(u0[i]);
    simplex[i + 1].point[i] += magnitude > kNearZero ? kInitialStep * magnitude : kInitialStep;
  }
  return simplex;
}

// sqrt(sum (c - mean)^2 / (N - 1)) < tolerance; false whenever a cost is NaN
// or infinite, since the spread is then NaN.
bool converged(const std::vector<Vertex>& simplex) {
  const auto count = static_cast<double>(simplex.size());
  double sum = 0.0;
  for (const Vertex& v : simplex) sum += v.cost;
  const double mean = sum / count;
  double squares = 0.0;
  for (const Vertex& v : simplex) squares += (v.cost - mean) * (v.cost - mean);
  return std::sqrt(squares / (count - 1.0)) < kSdTolerance;
}

// out = base + coefficient * (target - base). Reflection is the case
// coefficient = -alpha with the worst vertex as target, and gives the same
// bits as x0 + alpha * (x0 - x_w), since negation is exact.
void move_towards(std::span<const double> base, double coefficient, std::span<const double> target,
                  std::span<double> out) {
  for (std::size_t j = 0; j < out.size(); ++j) out[j] = base[j] + coefficient * (target[j] - base[j]);
}

// Buffers of one search, sized once so that iterations do not allocate.
struct Workspace {
  std::vector<double> centroid;
  std::vector<double> reflected;
  std::vector<double> trial;
};

void replace_worst(std::vector<Vertex>& simplex, std::vector<double>& point, double cost) {
  std::swap(simplex.back().point, point);
  simplex.back().cost = cost;
}

void shrink(std::vector<Vertex>& simplex, PsoProblem& problem) {
  const std::vector<double>& best = simplex.front().point;
  for (std::size_t i = 1; i < simplex.size(); ++i) {
    move_towards(best, kShrink, simplex[i].point, simplex[i].point);
    simplex[i].cost = problem.cost(simplex[i].point);
  }
}

// One reflection, expansion, contraction or shrink; the simplex is left
// unsorted. False when a NaN among the compared costs leaves no step to take.
bool iterate(std::vector<Vertex>& simplex, PsoProblem& problem, Workspace& work) {
  const std::size_t n = simplex.size() - 1;
  const double c_b = simplex.front().cost;
  const double c_s = simplex[n - 1].cost;  // n >= 1: the inputs were checked
  const double c_w = simplex.back().cost;
  const std::vector<double>& x_w = simplex.back().point;

  std::fill(work.centroid.begin(), work.centroid.end(), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < work.centroid.size(); ++j) work.centroid[j] += simplex[i].point[j];
  }
  for (double& x : work.centroid) x /= static_cast<double>(n);

  move_towards(work.centroid, -kReflection, x_w, work.reflected);
  const double c_r = problem.cost(work.reflected);

  if (c_b <= c_r && c_r < c_s) {
    replace_worst(simplex, work.reflected, c_r);
  } else if (c_r < c_b) {
    move_towards(work.centroid, kExpansion, work.reflected, work.trial);
    const double c_e = problem.cost(work.trial);
    if (c_e < c_r) {
      replace_worst(simplex, work.trial, c_e);
    } else {
      replace_worst(simplex, work.reflected, c_r);
    }
  } else if (!(c_r >= c_s)) {
    return false;
  } else if (c_r < c_w) {
    move_towards(work.centroid, kContraction, work.reflected, work.trial);
    const double c_c = problem.cost(work.trial);
    if (c_c <= c_r) {
      replace_worst(simplex, work.trial, c_c);
    } else {
      shrink(simplex, problem);
    }
  } else {
    move_towards(work.centroid, kContraction, x_w, work.trial);
    const double c_c = problem.cost(work.trial);
    if (c_c < c_w) {
      replace_worst(simplex, work.trial, c_c);
    } else {
      shrink(simplex, problem);
    }
  }
  return true;
}

}  // namespace

Result<SearchOutcome, FitError> nelder_mead_search(SearchFrame& frame, std::uint64_t max_iters) {
  PsoProblem problem(frame);
  const std::vector<double> u0 = to_search_coordinates(frame.bounds, frame.start);
  std::vector<Vertex> simplex = initial_simplex(u0);
  for (Vertex& v : simplex) v.cost = problem.cost(v.point);
  sort_by_cost(simplex, cost_of);
  BestSoFar best;
  best.offer(simplex.front().point, simplex.front().cost);

  Workspace work{std::vector<double>(u0.size()), std::vector<double>(u0.size()), std::vector<double>(u0.size())};
  std::uint64_t iterations = 0;
  while (!converged(simplex) && iterations < max_iters) {
    if (!iterate(simplex, problem, work)) {
      // A step needs costs that compare; a NaN cost almost always comes from
      // the data.
      return solver_failure(nan_cost_text(kNelderMeadName, frame.spectrum,
                                          "nelder-mead met a NaN cost: the circuit does not evaluate to a finite "
                                          "impedance near the start"));
    }
    sort_by_cost(simplex, cost_of);
    best.offer(simplex.front().point, simplex.front().cost);
    ++iterations;
  }
  return SearchOutcome{best.point(), iterations};
}

Result<FitOutcome, FitError> nelder_mead_fit(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                             std::uint64_t max_iters) {
  return run_search(circuit, spectrum, weighting, kNelderMeadName,
                    [max_iters](SearchFrame& frame) { return nelder_mead_search(frame, max_iters); });
}

}  // namespace kelvra
