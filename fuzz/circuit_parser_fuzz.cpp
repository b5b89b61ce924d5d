// The circuit-string parser on arbitrary bytes: every input either parses
// or yields an error whose report can be built, and a parsed circuit
// written back as text parses to the same circuit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "circuit/format.h"
#include "circuit/grammar.h"
#include "circuit/params.h"
#include "circuit/tree.h"

namespace {

// The written form of a circuit is a fixed point: parsing it and writing it
// again gives the same text and the same parameters.
void check_round_trip(const kelvra::Series& series) {
  const auto text = kelvra::format_series(series, kelvra::leaf_labels(series));
  if (!text) __builtin_trap();
  const auto reparsed = kelvra::parse(text.value());
  if (!reparsed) __builtin_trap();
  const auto again = kelvra::format_series(reparsed.value(), kelvra::leaf_labels(reparsed.value()));
  if (!again || again.value() != text.value()) __builtin_trap();
  if (kelvra::param_names(reparsed.value()) != kelvra::param_names(series)) __builtin_trap();
  bool expanded = false;
  (void)kelvra::param_values(kelvra::expand_series(series, expanded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = kelvra::parse(text);
  if (parsed) {
    check_round_trip(parsed.value());
  } else {
    const std::string report = kelvra::parse_error_report(text, parsed.error());
    if (report.empty()) __builtin_trap();
  }
  return 0;
}
