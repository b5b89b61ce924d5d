#include "fit/fit_method.h"

#include "fit/levenberg_marquardt_fit.h"

namespace kelvra {

Result<FitOutcome, FitError> run_fit_method(std::string_view method, const Series& circuit,
                                            const Spectrum& spectrum, Weighting weighting,
                                            const FitOptions& options) {
  if (method == "levenberg_marquardt") {
    LmSettings settings;
    settings.ftol = options.ftol;
    settings.xtol = options.xtol;
    settings.patience = options.max_iterations;
    return levenberg_marquardt_fit(circuit, spectrum, weighting, settings);
  }
  return fail(FitError{fit_error::UnknownMethod{std::string(method)}});
}

}  // namespace kelvra
