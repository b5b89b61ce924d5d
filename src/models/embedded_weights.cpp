#include "models/embedded_weights.h"

namespace kelvra {

std::span<const std::uint8_t> embedded_file(std::string_view stem) {
  for (const EmbeddedFile& file : kEmbeddedFiles) {
    // The literal's chars are read as the file's bytes; unsigned char may
    // alias any object.
    if (file.stem == stem) return {reinterpret_cast<const std::uint8_t*>(file.data), file.size};
  }
  return {};
}

}  // namespace kelvra
