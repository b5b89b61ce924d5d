// A cursor over the bytes of a weight file. Every read first checks that
// the bytes exist and fails with Truncated otherwise, so no read can pass
// the end; a length from the file is compared with what remains before any
// memory is taken for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "nn/nn_error.h"
#include "support/result.h"

namespace kelvra {

// Little-endian integers from the first bytes of `bytes` (at least 2 or 4).
inline std::uint16_t load_u16(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
inline std::uint32_t load_u32(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t remaining() const { return bytes_.size() - pos_; }

  // The next n bytes, without copying them.
  Result<std::span<const std::uint8_t>, NnError> bytes(std::size_t n);
  // The next n items of `width` bytes each; n is checked against what
  // remains before n * width is formed, so a huge count cannot overflow it.
  Result<std::span<const std::uint8_t>, NnError> items(std::size_t n, std::size_t width);
  Result<std::uint8_t, NnError> u8();
  // Little-endian.
  Result<std::uint32_t, NnError> u32();
  // A u32 byte length and that many bytes of UTF-8; malformed UTF-8 counts
  // as Truncated, like any other damage to the file.
  Result<std::string, NnError> string();

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace kelvra
