#include "nn/gelu_kernel.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

#include "nn/cpu_variant.h"

namespace kelvra {

namespace {

// exp(y) = 2^k exp(r), k = round(y / ln 2), r = y - k ln 2 in
// [-ln2/2, ln2/2], with ln 2 split so that k * kLn2High is exact for every
// k used here (kLn2High has 33 significant bits, |k| < 2^11).
constexpr double kLog2E = 1.4426950408889634;
constexpr double kLn2High = 0x1.62e42feep-1;
constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
// Adding 1.5 * 2^52 rounds to an integer, which then sits in the low
// mantissa bits.
constexpr double kRoundingShift = 0x1.8p52;
constexpr int kMantissaBits = 52;
constexpr std::uint64_t kExponentBias = 1023;
// Inputs are clamped here so that 2^k stays a normal double. Below -708
// the result is too small to move 1 + exp(-2z); above +708 it is taken as
// infinite, so that x = -inf gives NaN as the tanh form does.
constexpr double kExpArgumentLimit = 708.0;
// Taylor terms 1/n! up to n = 13: for |r| <= ln2/2 the first omitted term
// is below 5e-18 relative.
constexpr std::size_t kExpDegree = 13;
constexpr std::array<double, kExpDegree + 1> kExpTaylor = [] {
  std::array<double, kExpDegree + 1> c{};
  c[0] = 1.0;
  for (std::size_t n = 1; n <= kExpDegree; ++n) c[n] = c[n - 1] / static_cast<double>(n);
  return c;
}();

template <std::size_t Width>
struct Lanes {
  using Vec [[gnu::vector_size(Width * sizeof(double))]] = double;
  using Bits [[gnu::vector_size(Width * sizeof(double))]] = std::uint64_t;
  using Mask [[gnu::vector_size(Width * sizeof(double))]] = std::int64_t;  // lane comparisons

  // Helpers take references: a vector returned by value from a function
  // that is not inlined would depend on the target's calling convention.

  // y becomes exp(y). NaN passes both clamps and the polynomial unchanged.
  [[gnu::always_inline]] static void exp_in_place(Vec& y) {
    const Vec limit = Vec{} + kExpArgumentLimit;
    const Mask overflows = y > limit;
    y = overflows ? limit : y;
    y = y < -limit ? -limit : y;
    const Vec shifted = y * kLog2E + kRoundingShift;
    const Vec k = shifted - kRoundingShift;
    const Vec r = (y - k * kLn2High) - k * kLn2Low;
    Vec p = Vec{} + kExpTaylor[kExpDegree];
#pragma GCC unroll 16
    for (std::size_t i = 1; i <= kExpDegree; ++i) p = p * r + kExpTaylor[kExpDegree - i];
    // The low bits of `shifted` hold k; moved into the exponent field and
    // biased they make 2^k.
    const Bits two_k = (__builtin_bit_cast(Bits, shifted) << kMantissaBits) + (kExponentBias << kMantissaBits);
    y = overflows ? Vec{} + std::numeric_limits<double>::infinity() : p * __builtin_bit_cast(Vec, two_k);
  }

  [[gnu::always_inline]] static void gelu_in_place(Vec& x) {
    Vec e = -2.0 * ((((kGeluCubic * x) * x) * x + x) * kSqrtTwoOverPi);
    exp_in_place(e);
    x = x / (1.0 + e);
  }

  // Two registers per step give the processor two independent polynomial
  // chains to overlap.
  [[gnu::always_inline]] static void apply(double* values, std::size_t count) {
    std::size_t i = 0;
    for (; i + 2 * Width <= count; i += 2 * Width) {
      Vec a;
      Vec b;
      std::memcpy(&a, values + i, sizeof a);
      std::memcpy(&b, values + i + Width, sizeof b);
      gelu_in_place(a);
      gelu_in_place(b);
      std::memcpy(values + i, &a, sizeof a);
      std::memcpy(values + i + Width, &b, sizeof b);
    }
    for (; i < count; i += Width) {
      const std::size_t n = count - i < Width ? count - i : Width;
      Vec v{};
      std::memcpy(&v, values + i, n * sizeof(double));
      gelu_in_place(v);
      std::memcpy(values + i, &v, n * sizeof(double));
    }
  }
};

void gelu_portable(double* values, std::size_t count) { Lanes<kPortableWidth>::apply(values, count); }

#ifdef KELVRA_HAVE_X86_VARIANTS
KELVRA_AVX2_TARGET void gelu_avx2(double* values, std::size_t count) { Lanes<kAvx2Width>::apply(values, count); }
KELVRA_AVX512_TARGET void gelu_avx512(double* values, std::size_t count) {
  Lanes<kAvx512Width>::apply(values, count);
}
#endif

}  // namespace

void gelu_in_place(CpuVariant variant, double* values, std::size_t count) {
#ifdef KELVRA_HAVE_X86_VARIANTS
  if (variant == CpuVariant::Avx512) {
    gelu_avx512(values, count);
    return;
  }
  if (variant == CpuVariant::Avx2) {
    gelu_avx2(values, count);
    return;
  }
#endif
  gelu_portable(values, count);
}

void gelu_in_place(double* values, std::size_t count) { gelu_in_place(best_variant(), values, count); }

}  // namespace kelvra
