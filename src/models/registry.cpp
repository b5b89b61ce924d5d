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

// A network with the match of its topology against the user circuit.
struct Selected {
  std::shared_ptr<const Predictor> external;  // holds an external network alive
  const Predictor* predictor;
  ModelMatch match;
  std::size_t model_params;  // parameters of the network's own circuit
  std::string circuit;       // the network's "circuit", for messages
  std::string source;        // the path as given, or empty for a built-in model
};

Failure<GuessError> invalid(std::string message) { return fail(GuessError{std::move(message), false}); }

Result<Selected, GuessError> select_builtin(const Series& user) {
  auto found = find_for_topology(user);
  if (!found) {
    return invalid("No training data on this circuit. Machine-learning based initial parameters available for " +
                   quoted_names());
  }
  auto predictor = found->model->guesser();
  if (!predictor) return invalid(predictor.error());
  const std::size_t model_params = predictor.value()->guesser().param_names.size();
  return Selected{nullptr, predictor.value(), std::move(found->match), model_params,
                  std::string(found->model->topology), ""};
}

// Everything from the lookup to the match runs under the cache's lock, so
// that one path is read and inserted once however many threads ask.
Result<Selected, GuessError> select_external(const Series& user, const std::string& path) {
  ExternalWeights::Lock lock(EXTERNAL);
  if (lock.poisoned()) return fail(GuessError{kPoisoned, true});
  auto loaded = lock.load_external(path);
  if (!loaded) return invalid(display(loaded.error()));
  std::shared_ptr<const Predictor> predictor = std::move(loaded).value();
  const std::string& circuit = predictor->guesser().circuit;
  auto model_tree = parse(circuit);
  if (!model_tree) return invalid(display(NnError{Unparsable{"circuit " + debug_quoted(circuit) + " in " + path}}));
  auto match = match_or_expand(model_tree.value(), user);
  if (!match) return invalid(path + " was trained for " + debug_quoted(circuit) + ", which is a different circuit");
  const Predictor* raw = predictor.get();
  const std::size_t model_params = param_count(model_tree.value());
  return Selected{std::move(predictor), raw, std::move(*match), model_params, circuit, path};
}

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

Result<std::vector<double>, GuessError> guess_params(const Series& user, std::span<const double> frequencies,
                                                     std::span<const Complex> impedances,
                                                     const std::optional<std::string>& weights) {
  auto selected = weights ? select_external(user, *weights) : select_builtin(user);
  if (!selected) return fail(selected.error());
  const Selected& chosen = selected.value();

  auto predicted = chosen.predictor->predict(frequencies, impedances);
  if (!predicted) return invalid(display(predicted.error()));
  const std::vector<double>& outputs = predicted.value();

  // An external file's outputs are taken to follow its circuit's
  // parameters, but not trusted to be as many: a short list must not be
  // read past. (A built-in file's names were checked against its topology.)
  if (outputs.size() < chosen.model_params) {
    return invalid(chosen.source + " predicts " + std::to_string(outputs.size()) + " values but its circuit " +
                   debug_quoted(chosen.circuit) + " has " + std::to_string(chosen.model_params) + " parameters");
  }
  const std::vector<std::size_t>& permutation = chosen.match.permutation;
  std::vector<double> ordered;
  ordered.reserve(permutation.size());
  for (std::size_t index : permutation) ordered.push_back(outputs[index]);
  if (!chosen.match.expanded) return ordered;
  return collapse_expansion(user, ordered);
}

}  // namespace kelvra
