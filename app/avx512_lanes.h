// The AVX-512 conversions and square root the fast kernels use, spelled through their
// masked forms with every lane selected: the compiler emits the plain instructions, and
// GCC 12's headers for the unmasked forms trip its own uninitialised-value warning.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace brevant::avx512_lanes {

#define BREVANT_AVX512_TARGET __attribute__((target("avx2,avx512f,avx512vl,avx512dq"), always_inline))

BREVANT_AVX512_TARGET inline __m512d Widen(__m256 v) { return _mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF, v); }
BREVANT_AVX512_TARGET inline __m256 Narrow(__m512d v) { return _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xFF, v); }
BREVANT_AVX512_TARGET inline __m512d Sqrt(__m512d v) { return _mm512_mask_sqrt_pd(v, 0xFF, v); }

#undef BREVANT_AVX512_TARGET

}  // namespace brevant::avx512_lanes

#endif
