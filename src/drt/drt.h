// The distribution of relaxation times (DRT) of a measured spectrum:
//
//   Z(w) = R_inf + j w L + int gamma(ln tau) / (1 + j w tau) d ln tau,
//
// gamma expanded in Gaussian radial basis functions (basis.h), found by
// Tikhonov-regularised least squares on the weighted real and imaginary
// parts, with lambda chosen by cross-validation (lambda_choice.h) and gamma
// kept non-negative by an active-set solver (nnls.h) unless asked not to.
// The method is that of the ridge/RBF DRT literature: Wan et al.,
// Electrochim. Acta 184, 2015; Ciucci and Chen, Electrochim. Acta 167, 2015.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "drt/basis.h"
#include "drt/lambda_choice.h"
#include "drt/peaks.h"
#include "drt/penalty.h"
#include "fit/prepared_spectrum.h"
#include "support/result.h"

namespace kelvra {

// Which parts of the impedance the residuals compare.
enum class DrtParts { Both, Real, Imaginary };
// Whether the model has a series inductance: by default when any point has
// Im Z > 0, the mark of one.
enum class InductanceChoice { Auto, Include, Exclude };

struct DrtOptions {
  Weighting weighting = Weighting::Modulus;
  DrtParts parts = DrtParts::Both;
  PenaltyOrder penalty = PenaltyOrder::FirstDerivative;
  LambdaRule rule = LambdaRule::Gcv;
  double lambda = std::numeric_limits<double>::quiet_NaN();  // read when rule is Given
  bool nonnegative = true;
  InductanceChoice inductance = InductanceChoice::Auto;
  double points_per_decade = kDefaultPointsPerDecade;
  double extension_decades = kDefaultExtensionDecades;
  double shape_factor = kDefaultShapeFactor;
  // Keep the stacked regularised system and its solution in the result.
  bool keep_system = false;
};

// A DRT needs more equations than its two free unknowns and enough points
// to tell an arc from a line.
inline constexpr std::size_t kMinDrtPoints = 5;
// gamma is reported on a grid this many times finer than the basis grid.
inline constexpr std::size_t kGammaRefinement = 5;

struct DrtError {
  enum class Kind {
    LengthMismatch,
    TooFewPoints,
    NotFinite,
    NonPositiveFrequency,
    DuplicateFrequency,
    AllZero,
    BadOption,
    Numerical,
  };
  Kind kind;
  std::size_t point = 0;  // the offending point, in input order
  std::size_t other = 0;  // the earlier point of a duplicate frequency
  double value = 0.0;
  std::string detail;  // the option's name, or the numerical failure
};

// The ValueError text of an error.
std::string display(const DrtError& error);

struct Drt {
  TauGrid grid;
  std::vector<double> weights;  // x_m, ohm
  double r_inf = 0.0;           // ohm
  double inductance = 0.0;      // H
  bool has_inductance = false;
  double lambda = 0.0;          // on the normalised system
  // A chosen lambda within one scan step of either end of its search range:
  // the criterion had no minimum inside it, and the DRT is suspect.
  bool lambda_at_limit = false;
  std::vector<double> log_tau;  // the reporting grid, ln s
  std::vector<double> gamma;    // ohm per unit ln tau, on log_tau
  std::vector<Complex> fitted;  // the model at the input frequencies
  double chi_square = 0.0;      // weighted sum of squares, both parts
  double polarization_resistance = 0.0;
  std::vector<DrtPeak> peaks;
  // False when the non-negative solver stopped on its iteration limit.
  bool converged = true;
  // With keep_system: the stacked system (rows x cols, row-major) and the
  // solution of the normalised unknowns that the solver returned.
  std::vector<double> system_matrix;
  std::vector<double> system_rhs;
  std::vector<double> system_solution;
  std::size_t system_rows = 0;
  std::size_t system_cols = 0;
};

// Checks the spectrum (length, count, finiteness, frequencies positive and
// distinct, not all zero) and the options, then computes the DRT. Point
// order does not matter.
Result<Drt, DrtError> compute_drt(const Spectrum& spectrum, const DrtOptions& options);

}  // namespace kelvra
