// Choosing the regularisation parameter lambda of a DRT.
//
// Generalised cross-validation (Golub, Heath and Wahba, Technometrics 21,
// 1979) minimises n |r(lambda)|^2 / (n - tr H(lambda))^2, the leave-one-out
// prediction error made invariant to rotations of the data. Its minimum is
// shallow on small data sets and sometimes sits at too small a lambda; the
// modified GCV weighs the trace by rho > 1 against that (Kim and Gu, J. R.
// Stat. Soc. B 66, 2004, with rho = 1.3 below 100 equations and 2 above, as
// compared for the DRT by Maradesa et al., J. Electrochem. Soc. 170, 2023).
// Real-imaginary cross-validation (Saccoccio et al., Electrochim. Acta 147,
// 2014) fits the real and the imaginary parts separately and scores each fit
// on the part it did not see, which the Kramers-Kronig relations tie to it.
#pragma once

#include <cstddef>
#include <functional>

#include "drt/ridge_spectrum.h"

namespace kelvra {

enum class LambdaRule { Gcv, ModifiedGcv, ReImCrossValidation, Given };

// lambda is searched over [kLambdaMin, kLambdaMax] on the normalised system
// (rows divided by the root mean square of the right-hand side, penalty by
// its mean diagonal): below the range the penalty is under the rounding of
// the data term, above it gamma is flattened beyond any spectrum's shape.
inline constexpr double kLambdaMin = 1e-10;
inline constexpr double kLambdaMax = 1e1;
// The coarse scan, then a golden-section search between the neighbours of
// the best scanned point down to this width in log10(lambda).
inline constexpr double kScanPointsPerDecade = 8.0;
inline constexpr double kLog10Tolerance = 1e-3;

// The trace weights of the modified GCV, and the size that separates them.
inline constexpr double kModifiedGcvSmall = 1.3;
inline constexpr double kModifiedGcvLarge = 2.0;
inline constexpr std::size_t kModifiedGcvLargeRows = 100;

// rows |r|^2 / (rows - rho tr H)^2; infinity where the denominator is not
// positive.
double gcv_score(const RidgeSpectrum& spectrum, double lambda, double rho);

// rho of the modified GCV for a system of `rows` equations.
double modified_gcv_weight(std::size_t rows);

// The lambda in [low, high] where `score` is smallest: the coarse scan in
// log lambda, then the golden section; the first minimum on ties.
double minimise_over_lambda(const std::function<double(double)>& score, double low = kLambdaMin,
                            double high = kLambdaMax);

}  // namespace kelvra
