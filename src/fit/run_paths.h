// The points the first runs of one multi-start fit have stood on, so that a
// later start's run can tell when it has joined an earlier one's path.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "elements/element.h"

namespace kelvra {

// Two runs standing on the same point take the same step from there: a run
// that reaches a point where an earlier start's run already stood, at the
// same sum of squares, goes on to that run's end, and its own end adds
// nothing to the fit. Runs carry their own trust radius and damping, so the
// rest of the path is the same only nearly; "the same point" is therefore a
// small box, kJoinDistance on every side in search coordinates (decades of
// an open parameter, fractions of a bounded one's range), and "the same sum
// of squares" within kJoinTolerance of it. On 2200 of the batch
// benchmark's noisy spectra, boxes of this size cut the evaluations by an
// eighth, left every fit's success as it was and changed seven chi-squares
// by more than 1e-6 of themselves, the most by 0.23 %. Replayed on the runs'
// recorded paths, boxes three times larger already passed over a start whose
// own end was plausible where the earlier one's was not.
inline constexpr double kJoinDistance = 1e-3;
inline constexpr double kJoinTolerance = 1e-4;

class RunPaths {
 public:
  explicit RunPaths(std::span<const Bounds> bounds);

  // Adds a point of the path being walked, in search coordinates, with its
  // sum of squares. It can be joined once that path is closed.
  void record(std::span<const double> u, double sum_of_squares);
  // Ends the path being walked.
  void close_path();
  // Whether `u` at `sum_of_squares` lies on a closed path.
  bool joins(std::span<const double> u, double sum_of_squares) const;

 private:
  bool near(std::span<const double> u, std::size_t point) const;

  std::vector<double> scales_;  // per coordinate: 1, or the bounded range
  std::vector<double> coordinates_;  // scales_.size() per point, in recording order
  // (sum of squares, point): those of the closed paths sorted, then those of
  // the path being walked from open_from_ on, in recording order.
  std::vector<std::pair<double, std::size_t>> points_;
  std::size_t open_from_ = 0;
};

}  // namespace kelvra
