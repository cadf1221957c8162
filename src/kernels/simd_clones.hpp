// Vectorised loops are built for the baseline and for AVX2 machines and chosen
// when the library loads; AVX2 brings wider vectors.
#pragma once

#if defined(__x86_64__) && defined(__GLIBC__) && defined(__GNUC__) && !defined(__clang__)
#define TOLVANE_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TOLVANE_SIMD_CLONES
#endif
