#include "nn/cpu_variant.h"

namespace kelvra {

namespace {

bool detect() {
#ifdef KELVRA_HAVE_WIDE_VARIANT
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

}  // namespace

bool runs_wide_variant() {
  static const bool wide = detect();
  return wide;
}

}  // namespace kelvra
