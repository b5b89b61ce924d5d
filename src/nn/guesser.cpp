#include "nn/guesser.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "nn/binary_float.h"
#include "nn/byte_reader.h"
#include "nn/meta_number.h"
#include "nn/shape_check.h"
#include "support/text.h"

namespace kelvra {
namespace {

constexpr std::string_view kMagic = "EISNN001";
constexpr std::string_view kSupportedEstimator = "reactive_centroid";

constexpr std::uint8_t kEncodingBinary32 = 0;
constexpr std::uint8_t kEncodingBinary16 = 1;
constexpr std::uint8_t kEncodingScaledInt8 = 2;  // a binary32 scale, then signed bytes
constexpr std::size_t kBinary32Bytes = 4;
constexpr std::size_t kBinary16Bytes = 2;
constexpr std::size_t kScalingRowLength = 4;

// The product of the dims, at least 1: no dims, or a zero among them, means
// one value. A product past the size type is damage, reported as Truncated.
Result<std::size_t, NnError> element_count(const std::vector<std::uint32_t>& dims) {
  for (const std::uint32_t d : dims) {
    if (d == 0) return std::size_t{1};
  }
  std::size_t n = 1;
  for (const std::uint32_t d : dims) {
    if (n > std::numeric_limits<std::size_t>::max() / d) return fail(NnError{Truncated{}});
    n *= d;
  }
  return n;
}

// Decodes n values of `width` bytes each into a new array, allocated only
// once its bytes are known to be there.
template <class Decode>
Result<std::vector<double>, NnError> decode_values(Reader& reader, std::size_t n, std::size_t width, Decode decode) {
  const auto bytes = reader.items(n, width);
  if (!bytes) return fail(bytes.error());
  const std::span<const std::uint8_t> data = bytes.value();
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = decode(data.subspan(i * width, width));
  return values;
}

Result<std::vector<double>, NnError> read_values(Reader& reader, std::uint8_t encoding, std::size_t n) {
  if (encoding == kEncodingBinary32) {
    return decode_values(reader, n, kBinary32Bytes,
                         [](std::span<const std::uint8_t> b) { return decode_binary32(load_u32(b)); });
  }
  if (encoding == kEncodingBinary16) {
    return decode_values(reader, n, kBinary16Bytes,
                         [](std::span<const std::uint8_t> b) { return decode_binary16(load_u16(b)); });
  }
  if (encoding == kEncodingScaledInt8) {
    const auto scale_bits = reader.u32();
    if (!scale_bits) return fail(scale_bits.error());
    const double scale = decode_binary32(scale_bits.value());
    return decode_values(reader, n, 1,
                         [scale](std::span<const std::uint8_t> b) { return static_cast<std::int8_t>(b[0]) * scale; });
  }
  return fail(NnError{UnknownEncoding{encoding}});
}

struct NamedTensor {
  std::string name;
  Tensor tensor;
};

Result<NamedTensor, NnError> read_tensor_record(Reader& reader) {
  auto name = reader.string();
  if (!name) return fail(name.error());
  const auto encoding = reader.u8();
  if (!encoding) return fail(encoding.error());
  const auto ndim = reader.u8();
  if (!ndim) return fail(ndim.error());
  const auto dim_bytes = reader.items(ndim.value(), kBinary32Bytes);
  if (!dim_bytes) return fail(dim_bytes.error());
  Tensor tensor;
  tensor.dims.resize(ndim.value());
  for (std::size_t i = 0; i < tensor.dims.size(); ++i) {
    tensor.dims[i] = load_u32(dim_bytes.value().subspan(i * kBinary32Bytes, kBinary32Bytes));
  }
  const auto n = element_count(tensor.dims);
  if (!n) return fail(n.error());
  auto values = read_values(reader, encoding.value(), n.value());
  if (!values) return fail(values.error());
  tensor.data = std::move(values).value();
  return NamedTensor{std::move(name).value(), std::move(tensor)};
}

std::vector<std::string_view> split_at_commas(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t comma = text.find(',');
    pieces.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return pieces;
    text.remove_prefix(comma + 1);
  }
}

// The fourth value of a scaling row as an output index: rounded half away
// from zero and saturated to int32; NaN gives 0.
std::int32_t alpha_index_of(double value) {
  if (std::isnan(value)) return 0;
  const double rounded = std::round(value);
  constexpr auto kLowest = std::numeric_limits<std::int32_t>::min();
  constexpr auto kHighest = std::numeric_limits<std::int32_t>::max();
  if (rounded <= kLowest) return kLowest;
  if (rounded >= kHighest) return kHighest;
  return static_cast<std::int32_t>(rounded);
}

std::vector<Scaling> scaling_rows(const std::vector<double>& values) {
  std::vector<Scaling> rows;
  rows.reserve(values.size() / kScalingRowLength);
  for (std::size_t i = 0; i + kScalingRowLength <= values.size(); i += kScalingRowLength) {
    rows.push_back(Scaling{values[i], values[i + 1], values[i + 2], alpha_index_of(values[i + 3])});
  }
  return rows;
}

Result<std::vector<std::uint64_t>, NnError> parse_dilations(const MetaMap& meta_map) {
  constexpr std::string_view kKey = "dilations";
  const auto text = meta(meta_map, kKey);
  if (!text) return fail(text.error());
  std::vector<std::uint64_t> dilations;
  for (const std::string_view piece : split_at_commas(text.value())) {
    const auto dilation = parse_unsigned(trim_whitespace(piece));
    if (!dilation) return fail(NnError{Unparsable{std::string(kKey)}});
    dilations.push_back(*dilation);
  }
  return dilations;
}

// Steps after the tensors: the output vectors, then the metadata, each in
// its fixed order; the first failure is the one reported.
std::optional<NnError> read_outputs(Guesser& g) {
  const auto mean = g.tensor("target_mean");
  if (!mean) return mean.error();
  const auto std_dev = g.tensor("target_std");
  if (!std_dev) return std_dev.error();
  const auto log = g.tensor("log_params");
  if (!log) return log.error();
  g.target_mean = mean.value()->data;
  g.target_std = std_dev.value()->data;
  g.log_params.reserve(log.value()->data.size());
  // -0.0 compares equal to 0.0 and so is linear; NaN is logarithmic.
  for (const double v : log.value()->data) g.log_params.push_back(v != 0.0);

  const auto scaling = g.tensor("scaling");
  if (!scaling) return scaling.error();
  const std::size_t required = kScalingRowLength * g.target_mean.size();
  if (scaling.value()->data.size() != required) {
    return ElementCount{"scaling", scaling.value()->data.size(), required};
  }
  g.scaling = scaling_rows(scaling.value()->data);
  return std::nullopt;
}

std::optional<NnError> read_metadata(Guesser& g, const MetaMap& meta_map) {
  auto dilations = parse_dilations(meta_map);
  if (!dilations) return dilations.error();
  g.dilations = std::move(dilations).value();

  const auto estimator = meta(meta_map, "estimator");
  if (!estimator) return estimator.error();
  if (estimator.value() != kSupportedEstimator) return UnsupportedEstimator{std::string(estimator.value())};

  const auto circuit = meta(meta_map, "circuit");
  if (!circuit) return circuit.error();
  const auto names = meta(meta_map, "param_names");
  if (!names) return names.error();
  g.circuit = circuit.value();
  for (const std::string_view name : split_at_commas(names.value())) g.param_names.emplace_back(name);

  const std::pair<std::string_view, std::uint64_t*> unsigned_fields[] = {
      {"n_grid", &g.n_grid}, {"channels", &g.channels}, {"kernel", &g.kernel}, {"groups", &g.groups}};
  for (const auto& [key, field] : unsigned_fields) {
    const auto value = parse<std::uint64_t>(meta_map, key);
    if (!value) return value.error();
    *field = value.value();
  }
  const std::pair<std::string_view, double*> float_fields[] = {{"alpha_min", &g.alpha_min},
                                                               {"alpha_max", &g.alpha_max}};
  for (const auto& [key, field] : float_fields) {
    const auto value = parse<double>(meta_map, key);
    if (!value) return value.error();
    *field = value.value();
  }
  return std::nullopt;
}

}  // namespace

Result<std::string_view, NnError> meta(const MetaMap& meta_map, std::string_view key) {
  const auto found = meta_map.find(key);
  if (found == meta_map.end()) return fail(NnError{MissingKey{std::string(key)}});
  return std::string_view(found->second);
}

template <class T>
Result<T, NnError> parse(const MetaMap& meta_map, std::string_view key) {
  const auto text = meta(meta_map, key);
  if (!text) return fail(text.error());
  std::optional<T> value;
  if constexpr (std::is_same_v<T, double>) {
    value = parse_float(text.value());
  } else {
    value = parse_unsigned(text.value());
  }
  if (!value) return fail(NnError{Unparsable{std::string(key)}});
  return *value;
}

template Result<std::uint64_t, NnError> parse<std::uint64_t>(const MetaMap&, std::string_view);
template Result<double, NnError> parse<double>(const MetaMap&, std::string_view);

Result<const Tensor*, NnError> Guesser::tensor(std::string_view name) const {
  const auto found = tensors.find(name);
  if (found == tensors.end()) return fail(NnError{MissingKey{std::string(name)}});
  return &found->second;
}

Result<Guesser, NnError> from_bytes(std::span<const std::uint8_t> bytes) {
  Reader reader(bytes);
  const auto magic = reader.bytes(kMagic.size());
  if (!magic) return fail(magic.error());
  if (!std::equal(kMagic.begin(), kMagic.end(), magic.value().begin())) return fail(NnError{BadMagic{}});

  // Entries are read one at a time and never reserved for: a count from the
  // file says nothing trustworthy about how many entries follow.
  MetaMap meta_map;
  const auto meta_count = reader.u32();
  if (!meta_count) return fail(meta_count.error());
  for (std::uint32_t i = 0; i < meta_count.value(); ++i) {
    auto key = reader.string();
    if (!key) return fail(key.error());
    auto value = reader.string();
    if (!value) return fail(value.error());
    meta_map.insert_or_assign(std::move(key).value(), std::move(value).value());
  }

  Guesser g{};
  const auto tensor_count = reader.u32();
  if (!tensor_count) return fail(tensor_count.error());
  for (std::uint32_t i = 0; i < tensor_count.value(); ++i) {
    auto record = read_tensor_record(reader);
    if (!record) return fail(record.error());
    g.tensors.insert_or_assign(std::move(record.value().name), std::move(record.value().tensor));
  }

  if (auto error = read_outputs(g)) return fail(std::move(*error));
  if (auto error = read_metadata(g, meta_map)) return fail(std::move(*error));
  if (auto error = check_inference_shapes(g)) return fail(std::move(*error));
  return g;
}

}  // namespace kelvra
