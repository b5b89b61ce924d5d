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

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t remaining() const { return bytes_.size() - pos_; }

  // The next n bytes, without copying them.
  Result<std::span<const std::uint8_t>, NnError> bytes(std::size_t n);
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
