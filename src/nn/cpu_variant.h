// Run-time choice between the portable build of a kernel and a variant for
// x86-64 processors with 256-bit registers and fused multiply-add, so the
// default build stays portable while such processors get the wider path.
#pragma once

#include <cstddef>

#if defined(__x86_64__) && defined(__GNUC__)
#define KELVRA_HAVE_WIDE_VARIANT 1
#define KELVRA_WIDE_TARGET [[gnu::target("avx2,fma")]]
#endif

namespace kelvra {

// Doubles per register: 128-bit registers are in every x86-64 and 64-bit
// ARM processor, 256-bit ones only in some x86-64 processors.
inline constexpr std::size_t kNarrowWidth = 2;
inline constexpr std::size_t kWideWidth = 4;

// Whether this processor runs the KELVRA_WIDE_TARGET variants; asked once.
bool runs_wide_variant();

}  // namespace kelvra
