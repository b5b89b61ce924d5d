#include "fit/fit_inputs.h"

#include "circuit/params.h"

namespace kelvra {

std::optional<FitError> check_fit_inputs(const Series& circuit, const Spectrum& spectrum) {
  if (spectrum.frequencies.size() != spectrum.impedances.size()) return fit_error::LengthMismatch{};
  if (spectrum.frequencies.empty()) return fit_error::EmptyData{};
  if (param_count(circuit) == 0) return fit_error::NoParameters{};
  return std::nullopt;
}

}  // namespace kelvra
