// The weight files carried inside the module. The build writes their bytes
// into a generated source, so nothing is read from disk at run time and the
// module works wherever it is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kelvra {

struct EmbeddedFile {
  std::string_view stem;  // the file name without ".eisnn"
  const char* data;
  std::size_t size;
};

// Every embedded file, in the order the build lists them. Defined in the
// generated source.
extern const std::span<const EmbeddedFile> kEmbeddedFiles;

// The bytes of the file named `stem`, or an empty span when the build did
// not embed one (which the loader then rejects like any other bad file).
std::span<const std::uint8_t> embedded_file(std::string_view stem);

}  // namespace kelvra
