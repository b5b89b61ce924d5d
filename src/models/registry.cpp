#include "models/registry.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <variant>

#include "circuit/grammar.h"
#include "circuit/params.h"
#include "models/external_weights.h"
#include "support/text.h"

namespace kelvra {

namespace {

// The Zarc's time constant raises R·Q to 1/α; α is kept off zero so that a
// degenerate prediction gives a huge or zero tau_k, not a division by zero.
constexpr double kMinZarcExponent = 1e-6;
constexpr const char* kPoisoned = "weights cache poisoned";

Failure<GuessError> invalid(std::string message) { return fail(GuessError{std::move(message), false}); }

// Values of the expanded circuit back onto the leaves as the user wrote
// them: a K's (R, C) pair becomes (r, tau_k), a Zarc's (R, Q, α) becomes
// (r, tau_k, gamma).
std::vector<double> collapse_expansion(const Series& user, const std::vector<double>& expanded) {
  std::vector<double> out;
  out.reserve(expanded.size());
  std::size_t next = 0;
  for (const LeafRef& leaf : collect_leaves(user)) {
    const Kind kind = leaf.element->kind;
    if (kind == Kind::K) {
      const double r = expanded[next];
      const double c = expanded[next + 1];
      out.insert(out.end(), {r, r * c});
      next += 2;
    } else if (kind == Kind::Zarc) {
      const double r = expanded[next];
      const double q = expanded[next + 1];
      const double alpha = expanded[next + 2];
      out.insert(out.end(), {r, std::pow(r * q, 1.0 / std::max(alpha, kMinZarcExponent)), alpha});
      next += 3;
    } else {
      const std::size_t count = info(kind).param_count;
      out.insert(out.end(), expanded.begin() + static_cast<std::ptrdiff_t>(next),
                 expanded.begin() + static_cast<std::ptrdiff_t>(next + count));
      next += count;
    }
  }
  return out;
}

}  // namespace

std::optional<ModelFound> find_for_topology(const Series& user) {
  for (const Model& model : MODELS) {
    auto model_tree = parse(model.topology);
    if (!model_tree) continue;
    if (auto match = match_or_expand(model_tree.value(), user)) return ModelFound{&model, std::move(*match)};
  }
  return std::nullopt;
}

Result<CircuitGuesser, GuessError> CircuitGuesser::select(const Series& user,
                                                          const std::optional<std::string>& weights) {
  CircuitGuesser chosen;
  chosen.user_ = user;
  if (!weights) {
    auto found = find_for_topology(user);
    if (!found) {
      return invalid("No training data on this circuit. Machine-learning based initial parameters available for " +
                     quoted_names());
    }
    auto predictor = found->model->guesser();
    if (!predictor) return invalid(predictor.error());
    chosen.predictor_ = predictor.value();
    chosen.match_ = std::move(found->match);
    chosen.model_params_ = chosen.predictor_->guesser().param_names.size();
    chosen.circuit_ = found->model->topology;
    return chosen;
  }
  // Everything from the lookup to the match runs under the cache's lock, so
  // that one path is read and inserted once however many threads ask.
  const std::string& path = *weights;
  ExternalWeights::Lock lock(EXTERNAL);
  if (lock.poisoned()) return fail(GuessError{kPoisoned, true});
  auto loaded = lock.load_external(path);
  if (!loaded) return invalid(display(loaded.error()));
  chosen.external_ = std::move(loaded).value();
  const std::string& circuit = chosen.external_->guesser().circuit;
  auto model_tree = parse(circuit);
  if (!model_tree) return invalid(display(NnError{Unparsable{"circuit " + debug_quoted(circuit) + " in " + path}}));
  auto match = match_or_expand(model_tree.value(), user);
  if (!match) return invalid(path + " was trained for " + debug_quoted(circuit) + ", which is a different circuit");
  chosen.predictor_ = chosen.external_.get();
  chosen.match_ = std::move(*match);
  chosen.model_params_ = param_count(model_tree.value());
  chosen.circuit_ = circuit;
  chosen.source_ = path;
  return chosen;
}

Result<std::vector<double>, GuessError> CircuitGuesser::guess(std::span<const double> frequencies,
                                                              std::span<const Complex> impedances) const {
  auto predicted = predictor_->predict(frequencies, impedances);
  if (!predicted) return invalid(display(predicted.error()));
  const std::vector<double>& outputs = predicted.value();

  // An external file's outputs are taken to follow its circuit's
  // parameters, but not trusted to be as many: a short list must not be
  // read past. (A built-in file's names were checked against its topology.)
  if (outputs.size() < model_params_) {
    return invalid(source_ + " predicts " + std::to_string(outputs.size()) + " values but its circuit " +
                   debug_quoted(circuit_) + " has " + std::to_string(model_params_) + " parameters");
  }
  std::vector<double> ordered;
  ordered.reserve(match_.permutation.size());
  for (std::size_t index : match_.permutation) ordered.push_back(outputs[index]);
  if (!match_.expanded) return ordered;
  return collapse_expansion(user_, ordered);
}

Result<std::vector<double>, GuessError> guess_params(const Series& user, std::span<const double> frequencies,
                                                     std::span<const Complex> impedances,
                                                     const std::optional<std::string>& weights) {
  auto chosen = CircuitGuesser::select(user, weights);
  if (!chosen) return fail(chosen.error());
  return chosen.value().guess(frequencies, impedances);
}

}  // namespace kelvra
