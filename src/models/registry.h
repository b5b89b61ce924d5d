// Which trained network serves a circuit, and its prediction turned into
// starting values for that circuit's own parameters.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "elements/complex.h"
#include "models/model_table.h"
#include "models/topology_match.h"
#include "support/result.h"

namespace kelvra {

struct ModelFound {
  const Model* model;
  ModelMatch match;
};

// The first model of the table whose topology matches `user`, K and Zarc
// expanded where needed.
std::optional<ModelFound> find_for_topology(const Series& user);

// Why no guess came back. `internal` marks a broken invariant of the
// registry itself, not a problem with the circuit, spectrum or file.
struct GuessError {
  std::string message;
  bool internal = false;
};

// One starting value per parameter of `user`, in its parameter order, from
// the built-in model for its topology or from the weight file at
// `weights`. Non-finite spectra give non-finite values, not an error.
Result<std::vector<double>, GuessError> guess_params(const Series& user, std::span<const double> frequencies,
                                                     std::span<const Complex> impedances,
                                                     const std::optional<std::string>& weights);

}  // namespace kelvra
