#include "models/model_table.h"

#include <vector>

#include "circuit/grammar.h"
#include "circuit/params.h"
#include "models/embedded_weights.h"
#include "support/text.h"

namespace kelvra {

namespace {

Model builtin(std::string_view name, std::string_view topology) {
  return Model(name, topology, embedded_file(name));
}

// Unicode White_Space: what trimming a model name removes.
bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

char32_t ascii_lower(char32_t c) { return (c >= U'A' && c <= U'Z') ? c + (U'a' - U'A') : c; }

bool equal_ignoring_ascii_case(std::span<const char32_t> text, std::string_view name) {
  if (text.size() != name.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != ascii_lower(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

// ["R0.r", "R1.r"]: a name list as the load messages print it.
std::string quoted_list(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug_quoted(names[i]);
  }
  return out + "]";
}

}  // namespace

const std::array<Model, kModelCount> MODELS = {{
    builtin("rc", "R0-(R1,C1)"),
    builtin("rc_l", "L0-R0-(R1,C1)"),
    builtin("rq", "R0-(R1,CPE1)"),
    builtin("rq_l", "L0-R0-(R1,CPE1)"),
    builtin("two_rc", "R0-(R1,C1)-(R2,C2)"),
    builtin("two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"),
    builtin("two_rq", "R0-(R1,CPE1)-(R2,CPE2)"),
    builtin("two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"),
    builtin("randles", "R0-(R1-W1,CPE1)"),
    builtin("sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"),
    builtin("sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"),
}};

Result<Guesser, std::string> load_builtin(std::string_view name, std::string_view topology,
                                          std::span<const std::uint8_t> weights) {
  auto loaded = from_bytes(weights);
  if (!loaded) return fail(display(loaded.error()));
  Guesser& guesser = loaded.value();
  if (guesser.circuit != topology) {
    return fail("model " + debug_quoted(name) + " is registered as " + debug_quoted(topology) +
                " but its weights were trained for " + debug_quoted(guesser.circuit));
  }
  auto tree = parse(topology);
  if (!tree) return fail("model " + debug_quoted(name) + " has an unparsable topology " + debug_quoted(topology));
  const std::vector<std::string> expected = param_names(tree.value());
  if (guesser.param_names != expected) {
    return fail("model " + debug_quoted(name) + " has parameters " + quoted_list(guesser.param_names) +
                ", expected " + quoted_list(expected));
  }
  return std::move(loaded).value();
}

Result<const Predictor*, std::string> Model::guesser() const {
  std::call_once(once_, [this] {
    auto loaded = load_builtin(name, topology, weights);
    if (loaded) {
      loaded_.emplace(std::move(loaded).value());
    } else {
      error_ = loaded.error();
    }
  });
  if (loaded_) return &*loaded_;
  return fail(error_);
}

const Model* find_model_name(std::string_view text) {
  const std::vector<char32_t> points = decode_utf8(text);
  std::size_t first = 0;
  std::size_t last = points.size();
  while (first < last && is_unicode_whitespace(points[first])) ++first;
  while (last > first && is_unicode_whitespace(points[last - 1])) --last;
  const std::span<const char32_t> trimmed(points.data() + first, last - first);
  for (const Model& model : MODELS) {
    if (equal_ignoring_ascii_case(trimmed, model.name)) return &model;
  }
  return nullptr;
}

std::string quoted_names() {
  std::string out;
  for (const Model& model : MODELS) {
    if (!out.empty()) out += ", ";
    out += '\'';
    out += model.name;
    out += '\'';
  }
  return out;
}

}  // namespace kelvra
