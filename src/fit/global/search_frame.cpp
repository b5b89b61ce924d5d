#include "fit/global/search_frame.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "circuit/params.h"
#include "fit/levenberg_marquardt_fit.h"
#include "fit/search_coordinates.h"

namespace kelvra {

SearchFrame::SearchFrame(const Series& circuit, const Spectrum& spectrum, Weighting weighting)
    : circuit(circuit),
      spectrum(spectrum),
      data(PreparedSpectrum::from(spectrum, weighting)),
      bounds(param_bounds(circuit)),
      start(param_values(circuit)) {}

PsoProblem::PsoProblem(SearchFrame& frame)
    : frame_(frame),
      counter_(frame.counter),
      physical_(frame.start.size()),
      residuals_(frame.data.residual_count()) {}

double PsoProblem::cost(std::span<const double> u) {
  to_physical(frame_.bounds, u, physical_);
  return cost_at(frame_.circuit, physical_, frame_.data, counter_, residuals_);
}

void BestSoFar::offer(std::span<const double> point, double cost) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (!(cost < cost_ || (cost == kInf && cost_ == kInf))) return;
  point_.assign(point.begin(), point.end());
  cost_ = cost;
  found_ = true;
}

std::optional<std::vector<double>> BestSoFar::point() const {
  if (!found_) return std::nullopt;
  return point_;
}

Failure<FitError> solver_failure(std::string_view text) {
  return fail(FitError{fit_error::Solver{std::string(text)}});
}

std::string nan_cost_text(std::string_view method, const Spectrum& spectrum, std::string_view otherwise) {
  for (std::size_t k = 0; k < spectrum.frequencies.size(); ++k) {
    const Complex z = spectrum.impedances[k];
    if (!std::isfinite(spectrum.frequencies[k]) || !std::isfinite(z.re) || !std::isfinite(z.im)) {
      return std::string(method) + " cannot fit data with a NaN or infinite value (point " + std::to_string(k) + ")";
    }
  }
  return std::string(otherwise);
}

Result<FitOutcome, FitError> complete_search(SearchFrame& frame, const SearchOutcome& searched,
                                             std::string_view method) {
  if (!searched.best) {
    // One NaN or infinite point makes every cost NaN: name it rather than
    // blame the search.
    return solver_failure(nan_cost_text(method, frame.spectrum, std::string(method) + " found no best position"));
  }
  const std::vector<double> physical = to_physical(frame.bounds, *searched.best);
  return polish_or_fallback(frame.circuit, physical, searched.iterations, frame.data, frame.counter);
}

Result<FitOutcome, FitError> run_search(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                        std::string_view method, const Search& search) {
  if (auto error = check_fit_inputs(circuit, spectrum)) return fail(std::move(*error));
  SearchFrame frame(circuit, spectrum, weighting);
  Result<SearchOutcome, FitError> searched = search(frame);
  if (!searched) return fail(searched.error());
  return complete_search(frame, searched.value(), method);
}

}  // namespace kelvra
