#include "nn/shape_check.h"

#include <cmath>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "support/text.h"

namespace kelvra {
namespace {

constexpr std::uint64_t kStemInputChannels = 3;
// The pooled vector: a mean and a maximum per channel, then two scalars.
constexpr std::uint64_t kPoolingsPerChannel = 2;
constexpr std::uint64_t kPooledExtras = 2;
constexpr std::uint64_t kConvolutionsPerBlock = 2;

std::optional<NnError> inconsistent(std::string detail) { return NnError{InconsistentShape{std::move(detail)}}; }

std::string shape_text(const std::vector<std::uint32_t>& dims) {
  std::string text = "[";
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(dims[i]);
  }
  return text + "]";
}

std::optional<NnError> check_range(std::string_view key, std::uint64_t value, std::uint64_t lowest,
                                   std::uint64_t highest) {
  if (value >= lowest && value <= highest) return std::nullopt;
  return inconsistent(debug_quoted(key) + " is " + std::to_string(value) + ", expected " + std::to_string(lowest) +
                      " to " + std::to_string(highest));
}

std::optional<NnError> check_metadata(const Guesser& g) {
  const std::tuple<std::string_view, std::uint64_t, std::uint64_t> ranges[] = {
      {"n_grid", g.n_grid, kMaxGridPoints}, {"channels", g.channels, kMaxChannels}, {"kernel", g.kernel, kMaxKernel}};
  for (const auto& [key, value, highest] : ranges) {
    if (auto error = check_range(key, value, 1, highest)) return error;
  }
  if (g.groups == 0 || g.channels % g.groups != 0) {
    return inconsistent("\"groups\" is " + std::to_string(g.groups) + ", expected a divisor of \"channels\" " +
                        std::to_string(g.channels));
  }
  if (g.dilations.size() > kMaxBlocks) {
    return inconsistent("\"dilations\" has " + std::to_string(g.dilations.size()) + " entries, expected at most " +
                        std::to_string(kMaxBlocks));
  }
  for (const std::uint64_t d : g.dilations) {
    if (auto error = check_range("dilations", d, 1, kMaxDilation)) return error;
  }
  if (std::isnan(g.alpha_min) || std::isnan(g.alpha_max) || g.alpha_min > g.alpha_max) {
    return inconsistent("\"alpha_min\" is " + format_number(g.alpha_min) + " and \"alpha_max\" " +
                        format_number(g.alpha_max) + ", expected alpha_min <= alpha_max and neither NaN");
  }
  return std::nullopt;
}

// One value per output name in each de-normalisation vector. "scaling" has
// already been checked to hold four values per "target_mean" entry, so its
// row count follows.
std::optional<NnError> check_outputs(const Guesser& g) {
  const std::size_t p = g.param_names.size();
  const std::pair<std::string_view, std::size_t> lengths[] = {
      {"target_mean", g.target_mean.size()}, {"target_std", g.target_std.size()}, {"log_params", g.log_params.size()}};
  for (const auto& [name, length] : lengths) {
    if (length != p) {
      return inconsistent("tensor " + debug_quoted(name) + " has " + std::to_string(length) + " elements, expected " +
                          std::to_string(p) + " (one per name in \"param_names\")");
    }
  }
  for (std::size_t row = 0; row < g.scaling.size(); ++row) {
    const std::int32_t index = g.scaling[row].alpha_index;
    if (index >= 0 && static_cast<std::size_t>(index) >= p) {
      return inconsistent("\"scaling\" row " + std::to_string(row) + " has alpha_index " + std::to_string(index) +
                          ", expected below " + std::to_string(p) + " (the number of names in \"param_names\")");
    }
  }
  return std::nullopt;
}

// The network tensors in the order inference uses them, each against its
// exact shape, and the head width H they fix.
class TensorChecker {
 public:
  explicit TensorChecker(const Guesser& g) : g_(g) {}

  std::optional<NnError> run() {
    const auto c = static_cast<std::uint32_t>(g_.channels);
    const auto k = static_cast<std::uint32_t>(g_.kernel);
    if (auto error = layer("stem", {c, static_cast<std::uint32_t>(kStemInputChannels), k}, {c})) return error;
    for (std::size_t i = 0; i < g_.dilations.size(); ++i) {
      const std::string block = "blocks." + std::to_string(i) + ".";
      if (auto error = layer(block + "conv1", {c, c, k}, {c})) return error;
      if (auto error = layer(block + "norm1", {c}, {c})) return error;
      if (auto error = layer(block + "conv2", {c, c, k}, {c})) return error;
      if (auto error = layer(block + "norm2", {c}, {c})) return error;
    }
    return head();
  }

  std::uint64_t head_width() const { return head_width_; }
  std::uint64_t head_outputs() const { return head_outputs_; }

 private:
  Result<const Tensor*, NnError> fetch(const std::string& prefix, std::string_view part) const {
    return g_.tensor("w." + prefix + "." + std::string(part));
  }

  static std::optional<NnError> mismatch(const std::string& prefix, std::string_view part, const Tensor& t,
                                         const std::string& expected) {
    return inconsistent("tensor " + debug_quoted("w." + prefix + "." + std::string(part)) + " has shape " +
                        shape_text(t.dims) + ", expected " + expected);
  }

  std::optional<NnError> exact(const std::string& prefix, std::string_view part,
                               const std::vector<std::uint32_t>& expected) const {
    const auto t = fetch(prefix, part);
    if (!t) return t.error();
    if (t.value()->dims != expected) return mismatch(prefix, part, *t.value(), shape_text(expected));
    return std::nullopt;
  }

  std::optional<NnError> layer(const std::string& prefix, const std::vector<std::uint32_t>& weight,
                               const std::vector<std::uint32_t>& bias) const {
    if (auto error = exact(prefix, "weight", weight)) return error;
    return exact(prefix, "bias", bias);
  }

  // A weight [rows, columns] whose row count is free from `lowest` up to
  // `highest` (no limit when absent); the row count found.
  Result<std::uint32_t, NnError> rows_of(const std::string& prefix, std::uint32_t columns, std::uint64_t lowest,
                                         std::optional<std::uint64_t> highest, std::string_view rows_name) const {
    const auto t = fetch(prefix, "weight");
    if (!t) return fail(t.error());
    const auto& dims = t.value()->dims;
    if (dims.size() != 2 || dims[1] != columns || dims[0] < lowest || (highest && dims[0] > *highest)) {
      std::string expected = "[";
      expected.append(rows_name).append(", ").append(std::to_string(columns)).append("] with ").append(rows_name);
      if (highest) {
        expected.append(" from ").append(std::to_string(lowest)).append(" to ").append(std::to_string(*highest));
      } else {
        expected.append(" at least ").append(std::to_string(lowest));
      }
      return fail(*mismatch(prefix, "weight", *t.value(), expected));
    }
    return dims[0];
  }

  std::optional<NnError> head() {
    const auto pooled = static_cast<std::uint32_t>(kPoolingsPerChannel * g_.channels + kPooledExtras);
    const auto h = rows_of("head.0", pooled, 1, kMaxHeadWidth, "H");
    if (!h) return h.error();
    if (auto error = exact("head.0", "bias", {h.value()})) return error;
    if (auto error = layer("head.2", {h.value(), h.value()}, {h.value()})) return error;
    // Only the first P outputs are used, so more are allowed; the tensor's
    // own bytes bound how many.
    const auto m = rows_of("head.4", h.value(), g_.param_names.size(), std::nullopt, "M");
    if (!m) return m.error();
    if (auto error = exact("head.4", "bias", {m.value()})) return error;
    head_width_ = h.value();
    head_outputs_ = m.value();
    return std::nullopt;
  }

  const Guesser& g_;
  std::uint64_t head_width_ = 0;
  std::uint64_t head_outputs_ = 0;
};

// Every factor is bounded by the limits above, so no product overflows.
std::optional<NnError> check_work(const Guesser& g, std::uint64_t h, std::uint64_t m) {
  const std::uint64_t c = g.channels;
  const std::uint64_t conv_taps = c * g.kernel * g.n_grid;
  const std::uint64_t trunk = conv_taps * (kStemInputChannels + kConvolutionsPerBlock * g.dilations.size() * c);
  const std::uint64_t head = h * (kPoolingsPerChannel * c + kPooledExtras) + h * h + m * h;
  if (trunk + head <= kMaxForwardMultiplyAdds) return std::nullopt;
  return inconsistent("the network needs " + std::to_string(trunk + head) +
                      " multiply-adds per guess, expected at most " + std::to_string(kMaxForwardMultiplyAdds));
}

}  // namespace

std::optional<NnError> check_inference_shapes(const Guesser& guesser) {
  if (auto error = check_metadata(guesser)) return error;
  if (auto error = check_outputs(guesser)) return error;
  TensorChecker tensors(guesser);
  if (auto error = tensors.run()) return error;
  return check_work(guesser, tensors.head_width(), tensors.head_outputs());
}

}  // namespace kelvra
