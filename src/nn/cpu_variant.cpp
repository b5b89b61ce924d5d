#include "nn/cpu_variant.h"

namespace kelvra {

bool supports(CpuVariant variant) {
  switch (variant) {
    case CpuVariant::Portable:
      return true;
#ifdef KELVRA_HAVE_X86_VARIANTS
    case CpuVariant::Avx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case CpuVariant::Avx512:
      return supports(CpuVariant::Avx2) && __builtin_cpu_supports("avx512f");
#else
    case CpuVariant::Avx2:
    case CpuVariant::Avx512:
      return false;
#endif
  }
  return false;
}

const char* variant_name(CpuVariant variant) {
  switch (variant) {
    case CpuVariant::Portable:
      return "portable";
    case CpuVariant::Avx2:
      return "AVX2";
    case CpuVariant::Avx512:
      return "AVX-512";
  }
  return "unknown";
}

CpuVariant best_variant() {
  static const CpuVariant best = supports(CpuVariant::Avx512) ? CpuVariant::Avx512
                                 : supports(CpuVariant::Avx2) ? CpuVariant::Avx2
                                                              : CpuVariant::Portable;
  return best;
}

}  // namespace kelvra
