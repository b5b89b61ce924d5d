#include "drt/penalty.h"

#include <cmath>
#include <numbers>

namespace kelvra {

void penalty_matrix(const TauGrid& grid, PenaltyOrder order, std::span<double> out) {
  const std::size_t size = grid.size();
  const double eps = grid.shape;
  const double e2 = eps * eps;
  const double overlap = std::sqrt(std::numbers::pi / 2.0) / eps;
  for (std::size_t i = 0; i < size; ++i) {
    for (std::size_t j = 0; j < size; ++j) {
      const double d = grid.log_tau[i] - grid.log_tau[j];
      const double s = e2 * d * d;
      const double g = overlap * std::exp(-s / 2.0);
      double value = g;
      if (order == PenaltyOrder::FirstDerivative) value = g * e2 * (1.0 - s);
      if (order == PenaltyOrder::SecondDerivative) value = g * e2 * e2 * (s * s - 6.0 * s + 3.0);
      out[i * size + j] = value;
    }
  }
}

}  // namespace kelvra
