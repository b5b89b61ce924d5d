// Test support: the classic least-squares test problems with analytic
// Jacobians, their standard starts and published minima, and a problem
// wrapper that records how the solver used it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "fit/lm/lm_solver.h"

namespace kelvra::testing {

using ResidualFn = void (*)(std::span<const double> x, std::span<double> f);
// Column-major m x n: entry (i, j) at jac[i + j * m].
using JacobianFn = void (*)(std::span<const double> x, std::span<double> jac);

struct TestFunction {
  const char* name;
  std::size_t m;
  std::vector<double> start;
  ResidualFn residuals;
  JacobianFn jacobian;
  // Published minimum of ||f||^2 reached from `start`; for
  // Freudenstein-Roth it is the local minimum the standard start leads to.
  double min_sum_of_squares;
};

const std::vector<TestFunction>& minpack_problems();
// Names the problem in test failure messages instead of dumping its bytes.
void PrintTo(const TestFunction& fn, std::ostream* os);
const TestFunction& minpack_problem(const char* name);

// Wraps a TestFunction and counts residual and Jacobian calls, the points
// at which Jacobians were requested, the smallest finite residual norm seen
// and the number of non-finite residual vectors.
class RecordingProblem : public LeastSquaresProblem {
 public:
  RecordingProblem(const TestFunction& fn, std::vector<double> start);

  std::size_t param_count() const override { return x_.size(); }
  std::size_t residual_count() const override { return m_; }
  std::span<const double> params() const override { return x_; }
  void set_params(std::span<const double> u) override;
  void residuals(std::span<double> out) override;
  void jacobian(std::span<double> out) override;

  std::uint64_t residual_calls = 0;
  std::vector<std::vector<double>> jacobian_points;
  double best_norm;
  std::uint64_t non_finite_calls = 0;

 private:
  std::size_t m_;
  ResidualFn residual_fn_;
  JacobianFn jacobian_fn_;
  std::vector<double> x_;
};

double sum_of_squares(const TestFunction& fn, std::span<const double> x);
// ||f(x)|| as the solver computes it.
double residual_norm(const TestFunction& fn, std::span<const double> x);

}  // namespace kelvra::testing
