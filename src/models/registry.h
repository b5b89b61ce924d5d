// Which trained network serves a circuit, and its prediction turned into
// starting values for that circuit's own parameters.
#pragma once

#include <memory>
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

// The network serving one circuit, chosen once and then asked for the
// starting values of any number of its spectra: a batch pays for finding
// the model (parsing and matching every topology of the table, or the
// weight cache's lock) once, not once a spectrum. Re-entrant.
class CircuitGuesser {
 public:
  // The built-in model for the topology of `user`, or the weight file at
  // `weights`.
  static Result<CircuitGuesser, GuessError> select(const Series& user, const std::optional<std::string>& weights);

  // One starting value per parameter of the circuit, in its parameter
  // order. Non-finite spectra give non-finite values, not an error.
  Result<std::vector<double>, GuessError> guess(std::span<const double> frequencies,
                                                std::span<const Complex> impedances) const;

 private:
  Series user_;
  std::shared_ptr<const Predictor> external_;  // holds an external network alive
  const Predictor* predictor_ = nullptr;
  ModelMatch match_;
  std::size_t model_params_ = 0;  // parameters of the network's own circuit
  std::string circuit_;           // the network's "circuit", for messages
  std::string source_;            // the path as given, or empty for a built-in model
};

// CircuitGuesser::select(user, weights) and its guess for one spectrum.
Result<std::vector<double>, GuessError> guess_params(const Series& user, std::span<const double> frequencies,
                                                     std::span<const Complex> impedances,
                                                     const std::optional<std::string>& weights);

}  // namespace kelvra
