// The eleven built-in models: one trained network per common topology. The
// table order is the order of the name lookup of Circuit(s), of the search
// for a model, of ml_circuits and of the names listed in messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "nn/network.h"
#include "support/result.h"

namespace kelvra {

class Model {
 public:
  Model(std::string_view name, std::string_view topology, std::span<const std::uint8_t> weights)
      : name(name), topology(topology), weights(weights) {}

  const std::string_view name;
  const std::string_view topology;  // a circuit string, also the file's "circuit"
  const std::span<const std::uint8_t> weights;

  // The network, loaded and checked against this row on the first call of
  // any thread (others wait for it); the outcome, success or the error
  // text, is kept for the life of the process.
  Result<const Predictor*, std::string> guesser() const;

 private:
  mutable std::once_flag once_;
  mutable std::optional<Predictor> loaded_;
  mutable std::string error_;
};

inline constexpr std::size_t kModelCount = 11;

extern const std::array<Model, kModelCount> MODELS;

// The model whose name `text` is, once Unicode whitespace is trimmed from
// both ends, ignoring ASCII case; nothing otherwise.
const Model* find_model_name(std::string_view text);

// "'rc', 'rc_l', ..." in table order.
std::string quoted_names();

// Loading a row's bytes as the table describes it: the loader's message on
// a malformed file, or a file trained for another topology or listing other
// parameter names. Exposed so that the checks can be tried on other bytes.
Result<Guesser, std::string> load_builtin(std::string_view name, std::string_view topology,
                                          std::span<const std::uint8_t> weights);

}  // namespace kelvra
