// The roughness penalty of a DRT: x^T M x = int (d^k gamma / dy^k)^2 dy for
// gamma = sum_m x_m phi_m, in closed form for Gaussian basis functions.
#pragma once

#include <span>

#include "drt/basis.h"

namespace kelvra {

// The derivative of gamma the penalty squares: gamma itself (ridge), its
// slope (the default, which smooths without pulling peaks down) or its
// curvature.
enum class PenaltyOrder { Value = 0, FirstDerivative = 1, SecondDerivative = 2 };

// Writes M (grid.size() x grid.size(), row-major, symmetric positive
// semidefinite) into `out`. With G(d) = int phi(y) phi(y - d) dy =
// sqrt(pi / 2) / eps exp(-eps^2 d^2 / 2) and d = y_i - y_j:
//   order 0: G(d)
//   order 1: -G''(d) = G(d) eps^2 (1 - eps^2 d^2)
//   order 2: G''''(d) = G(d) eps^4 (eps^4 d^4 - 6 eps^2 d^2 + 3)
void penalty_matrix(const TauGrid& grid, PenaltyOrder order, std::span<double> out);

}  // namespace kelvra
