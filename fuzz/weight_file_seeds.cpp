// Writes small valid weight files into the directory given as the argument:
// seeds for the weight-file target. The shipped files are hundreds of
// kilobytes each, so a fuzzer that starts from them runs a few inputs a
// second; networks of a few channels exercise the same loader and kernels
// thousands of times faster.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "nn/weight_file_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  using kelvra::testing_support::NetworkShape;
  NetworkShape smallest;
  smallest.channels = 2;
  smallest.kernel = 1;
  smallest.groups = 1;
  smallest.n_grid = 4;
  smallest.dilations = {1};
  smallest.head_width = 3;
  NetworkShape deeper;
  deeper.dilations = {1, 2, 4};
  const std::vector<std::pair<std::string, NetworkShape>> shapes = {
      {"default", NetworkShape{}}, {"smallest", smallest}, {"deeper", deeper}};
  for (const auto& [name, shape] : shapes) {
    const std::vector<std::uint8_t> bytes = kelvra::testing_support::network_file(shape).bytes();
    std::ofstream out(std::string(argv[1]) + "/" + name + ".eisnn", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return 1;
  }
  return 0;
}
