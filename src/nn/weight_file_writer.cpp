#include "nn/weight_file_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kelvra::testing_support {
namespace {

constexpr std::uint8_t kEncodingBinary32 = 0;
constexpr std::string_view kMagic = "EISNN001";
constexpr std::uint32_t kStemInputs = 3;
constexpr int kBitsPerByte = 8;
constexpr std::uint32_t kByteMask = 0xFF;

// Distinct, finite, small values, so that a mixed-up tensor would show.
std::vector<double> filler(std::size_t n, double offset) {
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = offset + 0.125 * std::sin(static_cast<double>(i));
  return values;
}

std::size_t product(const std::vector<std::uint32_t>& dims) {
  std::size_t n = 1;
  for (const std::uint32_t d : dims) n *= d;
  return n;
}

}  // namespace

void append_u32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 4 * kBitsPerByte; shift += kBitsPerByte) {
    bytes.push_back(static_cast<std::uint8_t>((value >> shift) & kByteMask));
  }
}

void append_string(std::vector<std::uint8_t>& bytes, std::string_view text) {
  append_u32(bytes, static_cast<std::uint32_t>(text.size()));
  bytes.insert(bytes.end(), text.begin(), text.end());
}

TensorRecord binary32_record(std::string name, std::vector<std::uint32_t> dims, const std::vector<double>& values) {
  TensorRecord record{std::move(name), kEncodingBinary32, std::move(dims), {}};
  for (const double v : values) append_u32(record.data, std::bit_cast<std::uint32_t>(static_cast<float>(v)));
  return record;
}

std::vector<std::uint8_t> WeightFile::bytes() const {
  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  append_u32(out, static_cast<std::uint32_t>(meta.size()));
  for (const auto& [key, value] : meta) {
    append_string(out, key);
    append_string(out, value);
  }
  append_u32(out, static_cast<std::uint32_t>(tensors.size()));
  for (const TensorRecord& t : tensors) {
    append_string(out, t.name);
    out.push_back(t.encoding);
    out.push_back(static_cast<std::uint8_t>(t.dims.size()));
    for (const std::uint32_t d : t.dims) append_u32(out, d);
    out.insert(out.end(), t.data.begin(), t.data.end());
  }
  return out;
}

void WeightFile::set_meta(std::string_view key, std::string value) {
  const auto found = std::find_if(meta.begin(), meta.end(), [&](const auto& entry) { return entry.first == key; });
  if (found != meta.end()) {
    found->second = std::move(value);
  } else {
    meta.emplace_back(std::string(key), std::move(value));
  }
}

void WeightFile::remove_meta(std::string_view key) {
  std::erase_if(meta, [&](const auto& entry) { return entry.first == key; });
}

void WeightFile::set_tensor(TensorRecord record) {
  const auto found =
      std::find_if(tensors.begin(), tensors.end(), [&](const TensorRecord& t) { return t.name == record.name; });
  if (found != tensors.end()) {
    *found = std::move(record);
  } else {
    tensors.push_back(std::move(record));
  }
}

void WeightFile::remove_tensor(std::string_view name) {
  std::erase_if(tensors, [&](const TensorRecord& t) { return t.name == name; });
}

WeightFile network_file(const NetworkShape& shape) {
  WeightFile file;
  std::string names;
  for (const std::string& name : shape.param_names) names.append(names.empty() ? "" : ",").append(name);
  std::string dilations;
  for (const std::uint32_t d : shape.dilations) {
    dilations.append(dilations.empty() ? "" : ",").append(std::to_string(d));
  }
  file.meta = {{"circuit", shape.circuit},
               {"param_names", names},
               {"estimator", "reactive_centroid"},
               {"n_grid", std::to_string(shape.n_grid)},
               {"channels", std::to_string(shape.channels)},
               {"kernel", std::to_string(shape.kernel)},
               {"groups", std::to_string(shape.groups)},
               {"dilations", dilations},
               {"alpha_min", "0.05"},
               {"alpha_max", "1.0"}};

  double offset = 0.0;
  const auto add = [&](const std::string& name, std::vector<std::uint32_t> dims) {
    const std::size_t n = product(dims);
    file.tensors.push_back(binary32_record(name, std::move(dims), filler(n, offset)));
    offset += 1.0;
  };
  const auto layer = [&](const std::string& prefix, std::vector<std::uint32_t> weight, std::uint32_t outputs) {
    add("w." + prefix + ".weight", std::move(weight));
    add("w." + prefix + ".bias", {outputs});
  };
  const std::uint32_t c = shape.channels;
  const std::uint32_t h = shape.head_width;
  const auto p = static_cast<std::uint32_t>(shape.param_names.size());
  layer("stem", {c, kStemInputs, shape.kernel}, c);
  for (std::size_t i = 0; i < shape.dilations.size(); ++i) {
    const std::string block = "blocks." + std::to_string(i) + ".";
    layer(block + "conv1", {c, c, shape.kernel}, c);
    layer(block + "norm1", {c}, c);
    layer(block + "conv2", {c, c, shape.kernel}, c);
    layer(block + "norm2", {c}, c);
  }
  layer("head.0", {h, 2 * c + 2}, h);
  layer("head.2", {h, h}, h);
  layer("head.4", {2 * p, h}, 2 * p);
  add("target_mean", {p});
  add("target_std", {p});
  // One row per output: resistances scale with R, everything else is left
  // unscaled; no alpha term.
  std::vector<double> scaling;
  for (std::uint32_t i = 0; i < p; ++i) scaling.insert(scaling.end(), {1.0, 0.0, 0.0, -1.0});
  file.tensors.push_back(binary32_record("scaling", {p, 4}, scaling));
  file.tensors.push_back(binary32_record("log_params", {p}, std::vector<double>(p, 1.0)));
  return file;
}

}  // namespace kelvra::testing_support
