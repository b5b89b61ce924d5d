#include "nn/byte_reader.h"

#include <string_view>

#include "support/text.h"

namespace kelvra {
namespace {

constexpr std::size_t kU32Bytes = 4;

}  // namespace

Result<std::span<const std::uint8_t>, NnError> Reader::bytes(std::size_t n) {
  if (n > remaining()) return fail(NnError{Truncated{}});
  const auto taken = bytes_.subspan(pos_, n);
  pos_ += n;
  return taken;
}

Result<std::span<const std::uint8_t>, NnError> Reader::items(std::size_t n, std::size_t width) {
  if (n > remaining() / width) return fail(NnError{Truncated{}});
  return bytes(n * width);
}

Result<std::uint8_t, NnError> Reader::u8() {
  const auto taken = bytes(1);
  if (!taken) return fail(taken.error());
  return taken.value()[0];
}

Result<std::uint32_t, NnError> Reader::u32() {
  const auto taken = bytes(kU32Bytes);
  if (!taken) return fail(taken.error());
  return load_u32(taken.value());
}

Result<std::string, NnError> Reader::string() {
  const auto length = u32();
  if (!length) return fail(length.error());
  const auto taken = bytes(length.value());
  if (!taken) return fail(taken.error());
  const std::string_view text(reinterpret_cast<const char*>(taken.value().data()), taken.value().size());
  if (!is_valid_utf8(text)) return fail(NnError{Truncated{}});
  return std::string(text);
}

}  // namespace kelvra
