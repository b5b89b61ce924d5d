// Test support: writes weight files, valid or deliberately broken, so that
// the loader's tests can state each case as a small edit of a valid file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvra::testing_support {

void append_u32(std::vector<std::uint8_t>& bytes, std::uint32_t value);
void append_string(std::vector<std::uint8_t>& bytes, std::string_view text);

struct TensorRecord {
  std::string name;
  std::uint8_t encoding;
  std::vector<std::uint32_t> dims;
  std::vector<std::uint8_t> data;  // the encoded values, written as they are
};

// A record of binary32 values (encoding 0).
TensorRecord binary32_record(std::string name, std::vector<std::uint32_t> dims, const std::vector<double>& values);

struct WeightFile {
  std::vector<std::pair<std::string, std::string>> meta;  // in file order
  std::vector<TensorRecord> tensors;                      // in file order

  std::vector<std::uint8_t> bytes() const;

  // Replaces the value of an existing key in place, or appends the entry.
  void set_meta(std::string_view key, std::string value);
  void remove_meta(std::string_view key);
  // Replaces the record of that name in place, or appends it.
  void set_tensor(TensorRecord record);
  void remove_tensor(std::string_view name);
};

// The shape of a small network; the defaults are the smallest that still
// exercise groups, several blocks and a head wider than its output.
struct NetworkShape {
  std::uint32_t channels = 4;
  std::uint32_t kernel = 3;
  std::uint32_t groups = 2;
  std::uint32_t n_grid = 8;
  std::vector<std::uint32_t> dilations = {1, 2};
  std::uint32_t head_width = 5;
  std::string circuit = "R0-(R1,C1)";
  std::vector<std::string> param_names = {"R0.r", "R1.r", "C1.c"};
};

// A complete, valid file of that shape: the ten metadata entries and every
// tensor, in the order the built-in files use, with arbitrary finite values.
WeightFile network_file(const NetworkShape& shape = {});

}  // namespace kelvra::testing_support
