// Derivatives of an element's impedance with respect to its fields, in
// closed form for the kinds whose formulas give a short one. An analytic
// Jacobian of a circuit multiplies these by how the circuit's impedance
// depends on each leaf's.
#pragma once

#include <span>

#include "elements/complex.h"
#include "elements/element.h"

namespace kelvra {

// Whether closed_form_derivatives covers `kind`. The kinds left out (the
// short and finite-Gerischer diffusion and the transmission lines) have
// derivatives of tanh and coth whose formulas are long or cancel badly at
// small arguments; a caller differences those numerically, one element at
// a time.
bool has_closed_form_derivatives(Kind kind);

// For a kind covered above: derivatives[f * K + k] = d Z / d (field f) at
// omega[k], K = omega.size(), for each of the kind's fields, where
// log_omega[k] = ln(omega[k]) and (z_re[k], z_im[k]) is the element's
// impedance there as tabulated by add_prepared_impedance (the formulas reuse
// both rather than recompute logarithms and powers).
// Valid where the magnitudes are positive, as every fit keeps them. Never
// allocates; re-entrant.
void closed_form_derivatives(const PreparedElement& prepared, std::span<const double> omega,
                             std::span<const double> log_omega, std::span<const double> z_re,
                             std::span<const double> z_im, std::span<Complex> derivatives);

}  // namespace kelvra
