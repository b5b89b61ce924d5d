// How every fitting method ends: a FitOutcome built by build_outcome, or a
// FitError.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/tree.h"
#include "fit/residuals.h"

namespace kelvra {

struct FitOutcome {
  Series circuit;  // rebuilt with the clamped fitted values
  std::vector<std::string> param_names;
  std::vector<double> params;  // clamped to the bounds
  std::optional<std::vector<double>> std_errors;
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;        // 0.5 * sum r^2 at params
  double chi_square = 0.0;  // sum r^2 at params
  bool success = false;
};

namespace fit_error {
struct LengthMismatch {};
struct EmptyData {};
struct NoParameters {};
struct Solver { std::string text; };
struct UnknownMethod { std::string method; };
// A rejected tolerance ("ftol must be >= 0"); shown as the bare text.
struct InvalidSetting { std::string text; };
}  // namespace fit_error

using FitError = std::variant<fit_error::LengthMismatch, fit_error::EmptyData, fit_error::NoParameters,
                              fit_error::Solver, fit_error::UnknownMethod, fit_error::InvalidSetting>;

std::string display(const FitError& error);

// Clamps, costs (1 evaluation) and differentiates (2n evaluations) the final
// point, estimates standard errors from (J^T J)^-1 and rebuilds the circuit.
FitOutcome build_outcome(const Series& circuit, std::span<const double> params, bool success,
                         std::uint64_t iterations, const PreparedSpectrum& data, EvalCounter& counter);

// The same with the parameters marked in `fixed` held by the user: they are
// no estimates, so they have no standard error (NaN) and take no degree of
// freedom, and the others' errors come from the free columns alone.
FitOutcome build_outcome(const Series& circuit, std::span<const double> params, bool success,
                         std::uint64_t iterations, const PreparedSpectrum& data, EvalCounter& counter,
                         const std::vector<bool>& fixed);

}  // namespace kelvra
