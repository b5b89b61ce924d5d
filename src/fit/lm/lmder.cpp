// lmder: minimises ||f(u)||^2 by the Levenberg-Marquardt trust-region
// method with an analytic Jacobian (lm_minimize in lm_solver.h).
//
//   problem   supplies n parameters, m residuals and the m x n Jacobian;
//             the run starts from problem.params() and leaves the final
//             vector in the problem.
//   settings  ftol, xtol, gtol, patience, the step bound factor and the
//             settle window; they must have passed check_lm_settings.
//
// Ends with one of:
//   EmptyProblem        n = 0 or m = 0, before any evaluation.
//   Abandoned           the problem asked to end the run at the start point
//                       or after an accepted step (abandon_at), or at the
//                       end of a lag window (abandon_heading_for).
//   ZeroResiduals       ||f|| <= DBL_MIN at the start or after an accepted
//                       step.
//   GradientOrthogonal  the cosine between f and every Jacobian column is
//                       at most gtol.
//   ToleranceReached    the ftol or the xtol test holds.
//   Settled             after an accepted step: ||f||^2 fell by at most
//                       settle_tolerance of itself over the last
//                       settle_window * (n + 1) evaluations, tested at the
//                       end of each such window; or, where the problem is
//                       beyond its bounds, by at most
//                       settle_tolerance_beyond_bounds over the last window
//                       ending there (only when the window is not 0).
//   EvaluationLimit     patience * (n + 1) residual evaluations were used.
//   TolerancesTooTight  the ftol, xtol or gtol test holds at machine
//                       precision, so no further progress is possible.
//   NonFinite           the start residual norm, the gradient measure, the
//                       step, its norm, the predicted reduction or the new
//                       x-norm is NaN or infinite.
// Apart from NonFinite, the problem ends at the last accepted point.
//
// Fewer residuals than parameters (m < n) are handled by factorising the
// Jacobian padded with n - m zero rows, and f padded with zeros: the least-
// squares problem is unchanged and the QR has a full set of n reflections.
// All memory is taken once, before the first evaluation.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "fit/lm/lm_internal.h"
#include "fit/lm/lm_solver.h"
#include "support/vector_clones.h"

namespace kelvra {
namespace {

using lm::dot;
using lm::enorm;
using lm::kDwarf;
using lm::kEpsmch;
using lm::MatrixView;

// A trial is accepted when it achieves at least this fraction of the
// predicted reduction.
constexpr double kAcceptRatio = 1e-4;
// ratio <= kPoorRatio shrinks the trust region; ratio >= kGoodRatio (or a
// Gauss-Newton step, par = 0) doubles it.
constexpr double kPoorRatio = 0.25;
constexpr double kGoodRatio = 0.75;
// The usual shrink factor, and the reciprocal of the growth factor.
constexpr double kHalf = 0.5;
// The smallest shrink factor. Also the guard on the actual reduction: a
// trial with ||f_new|| >= ||f|| / kMinShrink (NaN included) counts as a
// reduction of -1 rather than a huge negative number.
constexpr double kMinShrink = 0.1;

struct Workspace {
  Workspace(std::size_t m, std::size_t n)
      : ldfjac(std::max(m, n)),
        fjac(ldfjac * n),
        fvec(m),
        wa4(ldfjac),
        x(n),
        diag(n),
        qtf(n),
        wa1(n),
        wa2(n),
        wa3(n),
        ipvt(n) {}

  std::size_t ldfjac;  // rows of the factorised Jacobian: max(m, n)
  std::vector<double> fjac;
  std::vector<double> fvec;  // f at the last accepted point
  std::vector<double> wa4;   // trial residuals, Q^T f, lmpar work
  std::vector<double> x;     // the last accepted point
  std::vector<double> diag;  // the scaling D
  std::vector<double> qtf;   // first n entries of Q^T f
  std::vector<double> wa1;
  std::vector<double> wa2;
  std::vector<double> wa3;
  std::vector<std::size_t> ipvt;
};

// The problem writes an m-row Jacobian at the front of fjac; spread its
// columns to the padded leading dimension, last column first so that no
// column is overwritten before it moves, and zero the padding rows.
void load_jacobian(LeastSquaresProblem& problem, MatrixView fjac, std::size_t m) {
  problem.jacobian(fjac.data.first(m * fjac.cols));
  if (fjac.rows == m) {
    return;
  }
  for (std::size_t j = fjac.cols; j-- > 0;) {
    const auto source = fjac.data.subspan(j * m, m);
    const auto target = fjac.column(j);
    std::copy_backward(source.begin(), source.end(), target.begin() + static_cast<std::ptrdiff_t>(m));
    std::fill(target.begin() + static_cast<std::ptrdiff_t>(m), target.end(), 0.0);
  }
}

// Applies the reflections stored below the diagonal of fjac to f (padded
// with zeros to fjac.rows), keeps the first n entries of Q^T f in qtf and
// puts rdiag on the diagonal of fjac, which then holds R in its upper
// triangle.
KELVRA_VECTOR_CLONES
void form_qtf(MatrixView fjac, std::span<const double> rdiag, std::span<const double> fvec, std::span<double> wa4,
              std::span<double> qtf) {
  std::copy(fvec.begin(), fvec.end(), wa4.begin());
  std::fill(wa4.begin() + static_cast<std::ptrdiff_t>(fvec.size()), wa4.end(), 0.0);
  for (std::size_t j = 0; j < fjac.cols; ++j) {
    if (fjac(j, j) != 0.0) {
      const double temp = -dot(&fjac(j, j), &wa4[j], fjac.rows - j) / fjac(j, j);
      for (std::size_t i = j; i < fjac.rows; ++i) {
        wa4[i] += fjac(i, j) * temp;
      }
    }
    fjac(j, j) = rdiag[j];
    qtf[j] = wa4[j];
  }
}

// The largest cosine between f and a Jacobian column, |J_l . f| / (||J_l||
// ||f||), over columns of non-zero norm; J_l . f is (R^T Q^T f)_j for the
// pivoted column j. A NaN term makes the whole measure NaN, since a max that
// skipped it would hide a broken Jacobian. fnorm > DBL_MIN here, since zero
// residuals end the run before any Jacobian is formed.
double gradient_measure(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> acnorm,
                        std::span<const double> qtf, double fnorm) {
  double gnorm = 0.0;
  for (std::size_t j = 0; j < r.cols; ++j) {
    const double norm = acnorm[ipvt[j]];
    if (norm == 0.0) {
      continue;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i <= j; ++i) {
      sum += r(i, j) * (qtf[i] / fnorm);
    }
    const double cosine = std::fabs(sum / norm);
    if (std::isnan(cosine)) {
      return cosine;
    }
    gnorm = std::max(gnorm, cosine);
  }
  return gnorm;
}

// ||R P^T p||, which equals ||J p||, using the upper triangle of fjac.
double jacobian_step_norm(MatrixView r, std::span<const std::size_t> ipvt, std::span<const double> p,
                          std::span<double> wa3) {
  std::fill(wa3.begin(), wa3.end(), 0.0);
  for (std::size_t j = 0; j < r.cols; ++j) {
    const double temp = p[ipvt[j]];
    for (std::size_t i = 0; i <= j; ++i) {
      wa3[i] += r(i, j) * temp;
    }
  }
  return enorm(wa3);
}

// Where the current lag window began, and the projection from its end.
struct LagWindow {
  std::uint64_t start;  // evaluations when it began
  double fnorm;         // ||f|| then

  // ||f||^2 after as many evaluations again as the run has taken (nfev),
  // were it to keep falling at this window's geometric rate.
  double heading(std::uint64_t nfev, double fnorm_now) const {
    const double shrink = fnorm_now / fnorm;
    const double windows_again = static_cast<double>(nfev) / static_cast<double>(nfev - start);
    return fnorm_now * fnorm_now * std::pow(shrink * shrink, windows_again);
  }
};

// ||f|| at the accepted points of the last `length` evaluations and at the
// latest one before them, for the settle test over the window that ends at
// the current point. A ring of length + 1 points holds them: each point
// takes at least one evaluation.
class TrailingWindow {
 public:
  TrailingWindow(std::uint64_t length, std::uint64_t nfev, double fnorm)
      : length_(length), points_(length == 0 ? 0 : length + 1) {
    if (length != 0) push(nfev, fnorm);
  }

  // Adds an accepted point and returns ||f|| where the window that ends
  // there began, or NaN while the run is shorter than the window.
  double add(std::uint64_t nfev, double fnorm) {
    while (size_ >= 2 && at(1).nfev + length_ <= nfev) pop();
    const double began = at(0).nfev + length_ <= nfev ? at(0).fnorm : std::numeric_limits<double>::quiet_NaN();
    push(nfev, fnorm);
    return began;
  }

 private:
  struct Point {
    std::uint64_t nfev;
    double fnorm;
  };

  const Point& at(std::size_t i) const { return points_[(first_ + i) % points_.size()]; }
  void push(std::uint64_t nfev, double fnorm) {
    points_[(first_ + size_) % points_.size()] = {nfev, fnorm};
    ++size_;
  }
  void pop() {
    first_ = (first_ + 1) % points_.size();
    --size_;
  }

  std::uint64_t length_;
  std::vector<Point> points_;
  std::size_t first_ = 0;
  std::size_t size_ = 0;
};

// Whether ||f|| fell from `began` to `now` by at most `tolerance` of
// ||f||^2 (false for a NaN `began`).
bool gained_at_most(double began, double now, double tolerance) {
  const double shrink = now / began;
  return 1.0 - shrink * shrink <= tolerance;
}

}  // namespace

KELVRA_VECTOR_CLONES
LmReport lm_minimize(LeastSquaresProblem& problem, const LmSettings& settings) {
  const std::size_t n = problem.param_count();
  const std::size_t m = problem.residual_count();
  if (n == 0 || m == 0) {
    return {LmStop::EmptyProblem, 0};
  }

  Workspace w(m, n);
  const MatrixView fjac{w.fjac, w.ldfjac, n};
  const std::span<double> trial_f = std::span(w.wa4).first(m);
  std::copy_n(problem.params().begin(), n, w.x.begin());

  problem.residuals(w.fvec);
  std::uint64_t nfev = 1;
  double fnorm = enorm(w.fvec);
  if (!std::isfinite(fnorm)) {
    return {LmStop::NonFinite, nfev};
  }
  if (fnorm <= kDwarf) {
    return {LmStop::ZeroResiduals, nfev};
  }
  if (problem.abandon_at(fnorm * fnorm)) {
    return {LmStop::Abandoned, nfev};
  }
  const std::uint64_t maxfev = std::uint64_t{std::max<std::uint32_t>(settings.patience, 1)} * (n + 1);

  // The settle test compares ||f|| now with its value where the current
  // window of evaluations began: inside the bounds at the end of each of a
  // run's consecutive windows, beyond them over the window that ends at
  // every accepted point. Tested at every point inside the bounds too, a
  // plateau shorter than a window ended some runs short of a lower valley
  // they were about to find (four fits of the batch benchmark's 8,800 lost
  // their right answer); beyond the bounds such a run only hands over
  // sooner to the second run, which holds the parameter on its bound.
  const std::uint64_t settle_evaluations = std::uint64_t{settings.settle_window} * (n + 1);
  std::uint64_t window_start = nfev;
  double window_fnorm = fnorm;
  TrailingWindow trailing(settle_evaluations, nfev, fnorm);
  const std::uint64_t lag_evaluations = std::uint64_t{settings.lag_window} * (n + 1);
  LagWindow lag{nfev, fnorm};

  double par = 0.0;
  double delta = 0.0;
  double xnorm = 0.0;
  bool first_trial = true;

  for (bool first_iteration = true;; first_iteration = false) {
    load_jacobian(problem, fjac, m);
    lm::qrfac(fjac, w.ipvt, w.wa1, w.wa2, w.wa3);
    // wa2 holds the column norms of J until lmpar reuses it below.
    const std::span<const double> acnorm = w.wa2;

    if (first_iteration) {
      for (std::size_t j = 0; j < n; ++j) {
        w.diag[j] = acnorm[j] == 0.0 ? 1.0 : acnorm[j];
        w.wa3[j] = w.diag[j] * w.x[j];
      }
      xnorm = enorm(w.wa3);
      delta = settings.step_bound_factor * xnorm;
      if (delta == 0.0) {
        delta = settings.step_bound_factor;
      }
    }

    form_qtf(fjac, w.wa1, w.fvec, w.wa4, w.qtf);
    const double gnorm = gradient_measure(fjac, w.ipvt, acnorm, w.qtf, fnorm);
    if (!std::isfinite(gnorm)) {
      return {LmStop::NonFinite, nfev};
    }
    if (gnorm <= settings.gtol) {
      return {LmStop::GradientOrthogonal, nfev};
    }
    for (std::size_t j = 0; j < n; ++j) {
      w.diag[j] = std::max(w.diag[j], acnorm[j]);
    }

    // Trials reuse this iteration's R and Q^T f: a rejected one costs one
    // residual evaluation and no Jacobian.
    for (;;) {
      lm::lmpar(fjac, w.ipvt, w.diag, w.qtf, delta, par, w.wa1, w.wa2, w.wa3, w.wa4);

      // lmpar solves J p = f; the step downhill is its negative.
      for (std::size_t j = 0; j < n; ++j) {
        w.wa1[j] = -w.wa1[j];
        w.wa2[j] = w.x[j] + w.wa1[j];
        w.wa3[j] = w.diag[j] * w.wa1[j];
      }
      const double pnorm = enorm(w.wa3);

      // Predicted reduction of ||f||^2, relative, and the directional
      // derivative, both from the linear model.
      const double temp1 = jacobian_step_norm(fjac, w.ipvt, w.wa1, w.wa3) / fnorm;
      const double temp2 = std::sqrt(par) * pnorm / fnorm;
      const double prered = temp1 * temp1 + temp2 * temp2 / kHalf;
      const double dirder = -(temp1 * temp1 + temp2 * temp2);
      if (!std::isfinite(pnorm) || !std::isfinite(prered) || !std::isfinite(dirder)) {
        return {LmStop::NonFinite, nfev};
      }

      // The initial radius may be far larger than any useful step.
      if (first_trial) {
        delta = std::min(delta, pnorm);
        first_trial = false;
      }

      problem.set_params(w.wa2);
      problem.residuals(trial_f);
      ++nfev;
      const double fnorm1 = enorm(trial_f);

      double actred = -1.0;
      if (kMinShrink * fnorm1 < fnorm) {
        const double shrink = fnorm1 / fnorm;
        actred = 1.0 - shrink * shrink;
      }
      // prered is 0 only for a zero step, which achieves nothing: ratio 0.
      const double ratio = prered != 0.0 ? actred / prered : 0.0;

      if (ratio <= kPoorRatio) {
        double factor = actred >= 0.0 ? kHalf : kHalf * dirder / (dirder + kHalf * actred);
        if (kMinShrink * fnorm1 >= fnorm || factor < kMinShrink) {
          factor = kMinShrink;
        }
        delta = factor * std::min(delta, pnorm / kMinShrink);
        par /= factor;
      } else if (par == 0.0 || ratio >= kGoodRatio) {
        delta = pnorm / kHalf;
        par *= kHalf;
      }

      const bool accepted = ratio >= kAcceptRatio;
      if (accepted) {
        for (std::size_t j = 0; j < n; ++j) {
          w.x[j] = w.wa2[j];
          w.wa2[j] = w.diag[j] * w.x[j];
        }
        std::copy(trial_f.begin(), trial_f.end(), w.fvec.begin());
        xnorm = enorm(w.wa2);
        fnorm = fnorm1;
        if (!std::isfinite(xnorm)) {
          return {LmStop::NonFinite, nfev};
        }
        if (fnorm <= kDwarf) {
          return {LmStop::ZeroResiduals, nfev};
        }
        if (problem.abandon_at(fnorm * fnorm)) {
          return {LmStop::Abandoned, nfev};
        }
        if (settle_evaluations != 0) {
          const bool beyond = problem.beyond_bounds();
          const double trailing_began = trailing.add(nfev, fnorm);
          if (beyond && gained_at_most(trailing_began, fnorm, settings.settle_tolerance_beyond_bounds)) {
            return {LmStop::Settled, nfev};
          }
          if (nfev - window_start >= settle_evaluations) {
            if (!beyond && gained_at_most(window_fnorm, fnorm, settings.settle_tolerance)) {
              return {LmStop::Settled, nfev};
            }
            window_start = nfev;
            window_fnorm = fnorm;
          }
        }
        if (lag_evaluations != 0 && nfev - lag.start >= lag_evaluations) {
          if (problem.abandon_heading_for(lag.heading(nfev, fnorm))) {
            return {LmStop::Abandoned, nfev};
          }
          lag = {nfev, fnorm};
        }
      }

      // |actual| <= ftol and predicted <= ftol, with ratio <= 2 so that the
      // model is trustworthy; or delta <= xtol * ||D x||.
      const auto reductions_below = [&](double tol) {
        return std::fabs(actred) <= tol && prered <= tol && kHalf * ratio <= 1.0;
      };
      std::optional<LmStop> stop;
      if (reductions_below(settings.ftol) || delta <= settings.xtol * xnorm) {
        stop = LmStop::ToleranceReached;
      } else if (nfev >= maxfev) {
        stop = LmStop::EvaluationLimit;
      } else if (reductions_below(kEpsmch) || delta <= kEpsmch * xnorm || gnorm <= kEpsmch) {
        stop = LmStop::TolerancesTooTight;
      }
      if (stop) {
        if (!accepted) {
          problem.set_params(w.x);
        }
        return {*stop, nfev};
      }
      if (accepted) {
        break;
      }
    }
  }
}

}  // namespace kelvra
