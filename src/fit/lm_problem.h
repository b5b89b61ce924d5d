// One Levenberg-Marquardt run of a circuit fit: the circuit's weighted
// residuals as a least-squares problem in search coordinates, with some
// parameters optionally frozen, and the run that minimises it.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "circuit/tree.h"
#include "elements/element.h"
#include "fit/lm/lm_solver.h"
#include "fit/residuals.h"
#include "fit/run_paths.h"

namespace kelvra {

// What a multi-start fit's later first run answers to: the paths of the
// earlier first runs, on joining one of which it ends, and the best sum of
// squares an earlier start ended with, which it must still be able to beat.
struct EarlierRuns {
  RunPaths* paths = nullptr;
  double best_sum_of_squares = std::numeric_limits<double>::infinity();
};

// The solver moves the internal vector u (search coordinates); residuals and
// the Jacobian are taken at the physical point it maps to. The circuit and
// data are borrowed read-only from the fit, which outlives every run.
class LmProblem final : public LeastSquaresProblem {
 public:
  // `frozen[j]` zeroes column j of every Jacobian, so the solver cannot move
  // parameter j.
  LmProblem(const Series& circuit, const PreparedSpectrum& data, std::span<const Bounds> bounds,
            std::span<const double> start, std::vector<bool> frozen, JacobianMethod jacobian, EvalCounter& counter);

  std::size_t param_count() const override { return u_.size(); }
  std::size_t residual_count() const override { return data_.residual_count(); }
  std::span<const double> params() const override { return u_; }
  void set_params(std::span<const double> u) override;
  void residuals(std::span<double> out) override;
  // d r / d u: the physical Jacobian with column j times 0 when frozen, 1
  // when bounded, and (p_j - lo_j) ln 10 when open.
  void jacobian(std::span<double> out) override;

  // With paths to join: a point on one of them abandons the run; any other
  // point the run stands on is recorded on the path being walked.
  bool abandon_at(double sum_of_squares) override;
  // A run heading for no better than the earlier best is abandoned.
  bool abandon_heading_for(double sum_of_squares) override { return sum_of_squares > earlier_.best_sum_of_squares; }
  void answer_to(const EarlierRuns& earlier) { earlier_ = earlier; }
  // A free bounded parameter beyond either bound: the run's end is clamped
  // back (and a second run holds it there).
  bool beyond_bounds() const override;

  // The current internal vector in physical values.
  std::span<const double> physical();

 private:
  const Series& circuit_;
  const PreparedSpectrum& data_;
  std::span<const Bounds> bounds_;
  std::vector<double> u_;
  std::vector<double> physical_;  // sized once; refreshed from u_ before each use
  std::vector<bool> frozen_;
  JacobianMethod jacobian_;
  AnalyticPoint analytic_;  // the analytic Jacobian's leaves, shared with the residuals
  EvalCounter& counter_;
  EarlierRuns earlier_;
};

struct LmRun {
  std::vector<double> params;  // physical values of the final internal vector
  bool success = false;
  std::uint64_t evaluations = 0;  // the solver's count: start point plus trial points
  // Abandoned for `earlier` runs: it joined a path of theirs or fell behind
  // their best; params are where it ended.
  bool passed_over = false;
};

// One solver run from the internal vector `start`. `settings` have passed
// check_lm_settings; a patience of 0 runs as 1. With `earlier.paths` the
// run walks a new path of them and ends where it joins a closed one; with a
// finite `earlier.best_sum_of_squares` and a lag window it ends once it
// heads for no better.
LmRun levenberg_marquardt_single_start(const Series& circuit, const PreparedSpectrum& data,
                                       std::span<const Bounds> bounds, std::span<const double> start,
                                       std::vector<bool> frozen, const LmSettings& settings, EvalCounter& counter,
                                       JacobianMethod jacobian = JacobianMethod::CentralDifference,
                                       const EarlierRuns& earlier = {});

}  // namespace kelvra
