// Seed material from the operating system, for the generators of the global
// searches when the caller gives no seed.
#pragma once

#include <cstddef>
#include <span>

namespace kelvra {

// Fills `out` with bytes from the operating system's entropy source. Never
// fails: if the source is unavailable the bytes are mixed from the clock and
// a process-wide counter, which still makes concurrent fits diverge.
void fill_from_os_entropy(std::span<std::byte> out);

}  // namespace kelvra
