// enorm: the Euclidean norm of x, computed without destructive underflow or
// overflow.
//
//   x   the vector; any length, entries may be NaN or infinite.
//
// Returns ||x||. Components are split into three groups by magnitude: small
// ones (<= rdwarf) and large ones (>= agiant) are summed as squares of ratios
// to the group's largest member, intermediate ones are squared directly. The
// result is NaN when any component is NaN and +inf when any is infinite and
// none is NaN. An empty vector has norm 0.

#include <cfloat>
#include <cmath>

#include "fit/lm/lm_internal.h"
#include "support/vector_clones.h"

namespace kelvra::lm {
namespace {

// sqrt(DBL_MIN): above it a square is still a normal double, so summing
// squares directly loses no precision to underflow.
constexpr double rdwarf = 1.4916681462400413e-154;
// sqrt(DBL_MAX): below it a square cannot overflow.
constexpr double rgiant = 1.3407807929942596e154;
static_assert(rdwarf * rdwarf >= DBL_MIN, "rdwarf squared must not underflow");
static_assert(rgiant * rgiant <= DBL_MAX, "rgiant squared must not overflow");

// The three-group sum of MINPACK for vectors with a component outside the
// intermediate range (or a NaN).
double scaled_norm(std::span<const double> x, double agiant) {
  double s1 = 0.0;  // large components, as squares of ratios to x1max
  double s2 = 0.0;  // intermediate components, squared
  double s3 = 0.0;  // small components, as squares of ratios to x3max
  double x1max = 0.0;
  double x3max = 0.0;

  for (const double xi : x) {
    const double xabs = std::fabs(xi);
    if (xabs > rdwarf && xabs < agiant) {
      s2 += xabs * xabs;
    } else if (xabs <= rdwarf) {
      if (xabs > x3max) {
        const double ratio = x3max / xabs;
        s3 = 1.0 + s3 * ratio * ratio;
        x3max = xabs;
      } else if (xabs != 0.0) {
        const double ratio = xabs / x3max;
        s3 += ratio * ratio;
      }
    } else {
      // Large components; a NaN lands here too and poisons s1.
      if (xabs > x1max) {
        const double ratio = x1max / xabs;
        s1 = 1.0 + s1 * ratio * ratio;
        x1max = xabs;
      } else {
        // inf / inf would turn a second infinite component into NaN.
        const double ratio = xabs == x1max ? 1.0 : xabs / x1max;
        s1 += ratio * ratio;
      }
    }
  }

  if (s1 != 0.0) {
    return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
  }
  if (s2 != 0.0) {
    if (s2 >= x3max) {
      return std::sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)));
    }
    return std::sqrt(x3max * ((s2 / x3max) + (x3max * s3)));
  }
  return x3max * std::sqrt(s3);
}

}  // namespace

KELVRA_VECTOR_CLONES
double enorm(std::span<const double> x) {
  // Intermediate squares are summed directly, so each must stay below
  // DBL_MAX / n for their sum not to overflow.
  const double agiant = rgiant / static_cast<double>(x.size());
  // Nearly always every component is intermediate or zero (the padding rows
  // of a Jacobian, a frozen column), and the squares are summed as they
  // are, without the three groups' tests and scaling; a zero adds nothing
  // in either sum. The components outside are counted over the whole
  // vector, without an early exit, so that the test vectorises: when it
  // passes every component is read anyway. A NaN fails `xabs < agiant`.
  std::size_t outside = 0;
  for (const double xi : x) {
    const double xabs = std::fabs(xi);
    outside += !(xabs < agiant);
    outside += (xabs <= rdwarf) & (xabs != 0.0);
  }
  if (outside != 0) return scaled_norm(x, agiant);
  return std::sqrt(interleaved_sum(x.size(), [&x](std::size_t i) { return x[i] * x[i]; }));
}

}  // namespace kelvra::lm
