// Builds of one function for the processor at hand. A function marked
// KELVRA_VECTOR_CLONES is compiled twice on x86-64 with GCC, for every
// processor and for those with 256-bit vectors (AVX2), and the loader picks
// one when the module is loaded. AVX2 alone brings no fused multiply-add,
// and the vectoriser never reorders floating-point sums, so both builds
// compute the same bits: only the width of the registers differs.
#pragma once

// ThreadSanitizer instruments the function that makes the choice, which
// the loader runs before the sanitizer's runtime is up; as the builds give
// the same bits, that build checks the portable one alone.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define KELVRA_VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define KELVRA_VECTOR_CLONES
#endif
