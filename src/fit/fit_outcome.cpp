#include "fit/fit_outcome.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "circuit/params.h"
#include "fit/bounds_clamp.h"
#include "fit/matrix_inverse.h"
#include "support/text.h"

namespace kelvra {
namespace {

// Standard errors sqrt(s^2 (J^T J)^-1_jj) with s^2 = S / (m - n), from the
// column-major m x n Jacobian. Absent without degrees of freedom or when
// J^T J is exactly singular.
std::optional<std::vector<double>> standard_errors(std::span<const double> jacobian, std::size_t m,
                                                   std::size_t n, double sum_of_squares) {
  const double dof = static_cast<double>(m) - static_cast<double>(n);
  if (dof <= 0.0) return std::nullopt;

  std::vector<double> normal(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double dot = 0.0;
      for (std::size_t k = 0; k < m; ++k) dot += jacobian[i * m + k] * jacobian[j * m + k];
      normal[i * n + j] = dot;
    }
  }
  std::vector<double> inverse(n * n);
  if (!invert_matrix(normal, n, inverse)) return std::nullopt;

  const double variance = sum_of_squares / dof;
  std::vector<double> errors(n);
  for (std::size_t j = 0; j < n; ++j) {
    const double diagonal = inverse[j * n + j];
    // Rounding can leave a tiny negative diagonal; it has no standard error.
    errors[j] = diagonal >= 0.0 ? std::sqrt(variance * diagonal) : std::numeric_limits<double>::quiet_NaN();
  }
  return errors;
}

}  // namespace

std::string display(const FitError& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, fit_error::LengthMismatch>) {
          return "frequencies and impedances must have the same length";
        } else if constexpr (std::is_same_v<E, fit_error::EmptyData>) {
          return "frequencies and impedances must not be empty";
        } else if constexpr (std::is_same_v<E, fit_error::NoParameters>) {
          return "circuit topology has no parameters to fit";
        } else if constexpr (std::is_same_v<E, fit_error::Solver>) {
          return "solver error: " + e.text;
        } else if constexpr (std::is_same_v<E, fit_error::UnknownMethod>) {
          return "unknown fit method " + debug_quoted(e.method) +
                 ", expected one of \"levenberg_marquardt\", \"particle_swarm\", \"nelder_mead\", "
                 "\"differential_evolution\", \"simulated_annealing\", \"basin_hopping\"";
        } else {
          static_assert(std::is_same_v<E, fit_error::InvalidSetting>);
          return e.text;
        }
      },
      error);
}

FitOutcome build_outcome(const Series& circuit, std::span<const double> params, bool success,
                         std::uint64_t iterations, const PreparedSpectrum& data, EvalCounter& counter) {
  return build_outcome(circuit, params, success, iterations, data, counter, std::vector<bool>{});
}

FitOutcome build_outcome(const Series& circuit, std::span<const double> params, bool success,
                         std::uint64_t iterations, const PreparedSpectrum& data, EvalCounter& counter,
                         const std::vector<bool>& fixed) {
  const std::vector<Bounds> bounds = param_bounds(circuit);
  std::vector<double> clamped(params.size());
  clamp_to_bounds(params, bounds, clamped);

  const std::size_t m = data.residual_count();
  const std::size_t n = clamped.size();
  std::vector<double> r(m);
  const double cost = cost_at(circuit, clamped, data, counter, r);
  std::vector<double> jacobian(m * n);
  jacobian_columns(circuit, clamped, data, counter, jacobian);

  FitOutcome outcome;
  outcome.cost = cost;
  outcome.chi_square = 2.0 * cost;
  const auto is_fixed = [&](std::size_t j) { return j < fixed.size() && fixed[j]; };
  std::vector<std::size_t> free;
  for (std::size_t j = 0; j < n; ++j) {
    if (!is_fixed(j)) free.push_back(j);
  }
  if (free.size() == n) {
    outcome.std_errors = standard_errors(jacobian, m, n, outcome.chi_square);
  } else {
    // The free columns moved to the front keep their order, so the
    // standard errors come back in the free parameters' order.
    for (std::size_t k = 0; k < free.size(); ++k) {
      std::copy_n(jacobian.begin() + static_cast<std::ptrdiff_t>(free[k] * m), m,
                  jacobian.begin() + static_cast<std::ptrdiff_t>(k * m));
    }
    const std::optional<std::vector<double>> errors =
        free.empty() ? std::optional<std::vector<double>>(std::vector<double>{})
                     : standard_errors(jacobian, m, free.size(), outcome.chi_square);
    if (errors) {
      std::vector<double> all(n, std::numeric_limits<double>::quiet_NaN());
      for (std::size_t k = 0; k < free.size(); ++k) all[free[k]] = (*errors)[k];
      outcome.std_errors = std::move(all);
    }
  }
  outcome.param_names = param_names(circuit);
  outcome.circuit = rebuild(circuit, clamped);
  outcome.params = std::move(clamped);
  outcome.iterations = iterations;
  // A method may believe it converged at a point whose cost is NaN or
  // infinite (a model that breaks down exactly on a bound), or at an
  // infinite parameter whose element has a finite limit there (a Gerischer
  // element's phi); neither is a successful fit whatever the method reports.
  const bool finite_params =
      std::all_of(outcome.params.begin(), outcome.params.end(), [](double v) { return std::isfinite(v); });
  outcome.success = success && std::isfinite(cost) && finite_params;
  outcome.impedance_evals = counter.value();
  return outcome;
}

}  // namespace kelvra
