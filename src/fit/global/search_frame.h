// What the global searches share: the input checks, the data every fit
// derives before searching, the cost of a search vector, the best-so-far
// rule and the hand-over of the best point to the polish step.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.h"
#include "elements/element.h"
#include "fit/fit_inputs.h"
#include "fit/fit_outcome.h"
#include "fit/residuals.h"
#include "support/result.h"

namespace kelvra {

// The methods' names in their messages. A search that ends without a best
// point (every cost it kept was NaN) fails with "<name> found no best
// position", or names the data's first non-finite point when there is one.
inline constexpr std::string_view kNelderMeadName = "nelder-mead";
inline constexpr std::string_view kParticleSwarmName = "particle swarm";
inline constexpr std::string_view kSimulatedAnnealingName = "simulated annealing";
inline constexpr std::string_view kDifferentialEvolutionName = "differential evolution";

// Why a search met NaN costs: "<method> cannot fit data with a NaN or
// infinite value (point k)" for the first such point of the spectrum, or
// `otherwise` when every point is finite.
std::string nan_cost_text(std::string_view method, const Spectrum& spectrum, std::string_view otherwise);

// The data a search derives once, after the input checks: the prepared
// spectrum, bounds, start values and the fit's counter, which every cost
// evaluation and finally the polish step count on.
struct SearchFrame {
  SearchFrame(const Series& circuit, const Spectrum& spectrum, Weighting weighting);
  SearchFrame(const SearchFrame&) = delete;
  SearchFrame& operator=(const SearchFrame&) = delete;

  const Series& circuit;
  const Spectrum& spectrum;  // as given, for messages that name a point
  const PreparedSpectrum data;
  std::vector<Bounds> bounds;
  std::vector<double> start;  // the circuit's current values
  EvalCounter counter;
};

// Cost of a search vector: mapped to physical values, then cost_at (one
// counted residual evaluation, 0.5 * sum r^2 in index order). No penalty and no clamping; a
// NaN or infinite cost is returned as it is. Scratch is sized once, so a
// cost evaluation does not allocate.
class PsoProblem {
 public:
  explicit PsoProblem(SearchFrame& frame);
  double cost(std::span<const double> u);

 private:
  const SearchFrame& frame_;
  EvalCounter& counter_;
  std::vector<double> physical_;
  std::vector<double> residuals_;
};

// The best point of Nelder-Mead and simulated annealing. A point becomes best
// when its cost is smaller than the best cost, or when both are +inf; the best
// cost starts at +inf, so a first point of cost +inf is taken, and a NaN cost
// never is.
class BestSoFar {
 public:
  void offer(std::span<const double> point, double cost);
  std::optional<std::vector<double>> point() const;
  double cost() const { return cost_; }

 private:
  std::vector<double> point_;
  double cost_ = std::numeric_limits<double>::infinity();
  bool found_ = false;
};

// What a search hands to the common ending: its best point in search
// coordinates, if it has one, and the iteration count the polish is told.
struct SearchOutcome {
  std::optional<std::vector<double>> best;
  std::uint64_t iterations = 0;
};

// The common ending: with a best point, its physical values go to
// polish_or_fallback with the search's iteration count and the frame's
// counter; without one the fit fails as nan_cost_text says for `method`.
Result<FitOutcome, FitError> complete_search(SearchFrame& frame, const SearchOutcome& searched,
                                             std::string_view method);

using Search = std::function<Result<SearchOutcome, FitError>(SearchFrame&)>;

// A whole global fit: input checks, the derived data, `search` (which checks
// its own settings before its first cost), then the common ending.
Result<FitOutcome, FitError> run_search(const Series& circuit, const Spectrum& spectrum, Weighting weighting,
                                        std::string_view method, const Search& search);

Failure<FitError> solver_failure(std::string_view text);

}  // namespace kelvra
