// Run-time choice among builds of the same kernel: a portable one, and on
// x86-64 variants for processors with 256-bit registers and fused
// multiply-add (AVX2) or with 512-bit registers (AVX-512), so the default
// build stays portable while such processors get the wider paths.
#pragma once

#include <cstddef>

#if defined(__x86_64__) && defined(__GNUC__)
#define KELVRA_HAVE_X86_VARIANTS 1
#define KELVRA_AVX2_TARGET [[gnu::target("avx2,fma")]]
#define KELVRA_AVX512_TARGET [[gnu::target("avx512f,avx2,fma")]]
#endif

namespace kelvra {

enum class CpuVariant { Portable, Avx2, Avx512 };
inline constexpr CpuVariant kAllVariants[] = {CpuVariant::Portable, CpuVariant::Avx2, CpuVariant::Avx512};

// Doubles per register of each variant: 128-bit registers are in every
// x86-64 and 64-bit ARM processor.
inline constexpr std::size_t kPortableWidth = 2;
inline constexpr std::size_t kAvx2Width = 4;
inline constexpr std::size_t kAvx512Width = 8;
inline constexpr std::size_t kWidestWidth = kAvx512Width;

bool supports(CpuVariant variant);
const char* variant_name(CpuVariant variant);
// The widest variant this processor supports; asked once.
CpuVariant best_variant();

}  // namespace kelvra
