// One loaded weight file (".eisnn", magic "EISNN001"): its metadata parsed,
// its tensors widened to doubles. The loader reads untrusted bytes: every
// read is checked against what remains, no count from the file reserves
// memory, and a file whose shapes would let inference read out of bounds is
// rejected here rather than trusted later.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nn/nn_error.h"
#include "support/result.h"

namespace kelvra {

struct Tensor {
  std::vector<std::uint32_t> dims;  // as stored, outermost first
  std::vector<double> data;         // row-major, product of dims (at least 1)
};

// How one output goes back to physical units:
// p * r_scale^r_power * omega_scale^(omega_power + alpha_factor * p[alpha_index]).
struct Scaling {
  double r_power;
  double omega_power;
  double alpha_factor;
  std::int32_t alpha_index;  // negative: no alpha term
};

using MetaMap = std::map<std::string, std::string, std::less<>>;
using TensorMap = std::map<std::string, Tensor, std::less<>>;

// The value of a metadata key; MissingKey with the key when absent.
Result<std::string_view, NnError> meta(const MetaMap& meta_map, std::string_view key);

// `meta` read as a number (T is std::uint64_t or double, in the syntax of
// nn/meta_number.h); Unparsable with the key when the text is not one.
template <class T>
Result<T, NnError> parse(const MetaMap& meta_map, std::string_view key);

struct Guesser {
  std::string circuit;
  std::vector<std::string> param_names;
  std::vector<std::uint64_t> dilations;
  std::vector<double> target_mean;
  std::vector<double> target_std;
  std::vector<bool> log_params;
  std::vector<Scaling> scaling;
  TensorMap tensors;
  std::uint64_t n_grid;
  std::uint64_t channels;
  std::uint64_t kernel;
  std::uint64_t groups;
  double alpha_min;
  double alpha_max;

  // MissingKey with the full name when absent.
  Result<const Tensor*, NnError> tensor(std::string_view name) const;
};

// Parses a whole file held in memory. On success every shape that
// inference relies on has been checked (see the loader).
Result<Guesser, NnError> from_bytes(std::span<const std::uint8_t> bytes);

}  // namespace kelvra
