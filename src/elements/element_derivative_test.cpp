#include "elements/element_derivative.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace kelvra {
namespace {

struct DerivativeCase {
  const char* regime;
  Kind kind;
  std::vector<double> params;
  double omega;
};

// d Z / d (field f) by a central difference with a step relative to the field.
Complex central_difference(const Element& element, std::size_t field, double omega) {
  const double h = 1e-6 * element.params[field];
  Element plus = element;
  Element minus = element;
  plus.params[field] += h;
  minus.params[field] -= h;
  const Complex up = prepared_impedance(prepare(plus), omega);
  const Complex down = prepared_impedance(prepare(minus), omega);
  return {(up.re - down.re) / (2.0 * h), (up.im - down.im) / (2.0 * h)};
}

class ClosedFormDerivatives : public ::testing::TestWithParam<DerivativeCase> {};

// The closed forms hold across each regime their formulas treat apart, down
// to arguments where a naive formula would cancel or overflow.
TEST_P(ClosedFormDerivatives, MatchCentralDifferences) {
  const DerivativeCase& c = GetParam();
  const Element element = make_element(c.kind, c.params);
  const PreparedElement prepared = prepare(element);
  const Complex z = prepared_impedance(prepared, c.omega);
  const std::array<double, 1> omega{c.omega};
  const std::array<double, 1> log_omega{std::log(c.omega)};
  std::vector<Complex> derivatives(c.params.size());
  closed_form_derivatives(prepared, omega, log_omega, std::array{z.re}, std::array{z.im}, derivatives);
  for (std::size_t f = 0; f < c.params.size(); ++f) {
    const Complex expected = central_difference(element, f, c.omega);
    const double error = std::hypot(derivatives[f].re - expected.re, derivatives[f].im - expected.im);
    EXPECT_LE(error, 1e-6 * std::hypot(expected.re, expected.im)) << c.regime << " field " << f;
  }
}

INSTANTIATE_TEST_SUITE_P(
    OpenWarburg, ClosedFormDerivatives,
    ::testing::Values(DerivativeCase{"omega tau tiny: Z near z0 / (j omega tau)", Kind::Wo, {2.0, 1e-12}, 0.06},
                      DerivativeCase{"omega tau moderate", Kind::Wo, {2.0, 0.3}, 7.0},
                      DerivativeCase{"just below saturation", Kind::Wo, {0.5, 1.0}, 2.0 * 19.9 * 19.9},
                      DerivativeCase{"just above saturation", Kind::Wo, {0.5, 1.0}, 2.0 * 20.1 * 20.1},
                      DerivativeCase{"huge magnitudes, saturated", Kind::Wo, {1e137, 1e200}, 6e5}));

}  // namespace
}  // namespace kelvra
