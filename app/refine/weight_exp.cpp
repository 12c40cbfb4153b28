#include "app/refine/weight_exp.h"

#include "app/float_math.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BREVANT_X86 1
#endif

namespace brevant {

void WeightExpLibrary(const float* q, float* out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) out[i] = ExpF(q[i]);
}

#if defined(BREVANT_X86)

// exp(x) for x in [-4, 0]: x = k ln 2 + r with |r| <= ln 2 / 2, exp(r) by its Taylor series
// to the 11th power (truncation below 1e-14 relative), times 2^k. The result is then rounded
// to float only where rounding it 2^-36 up and down gives the same float: the library's
// value, within a unit of the 53rd bit of the true one, lies between those two and so
// rounds to the same float as well. Below 2^-26 in magnitude, exp(x) lies above 1 - 2^-26,
// nearer to 1 than the middle (1 - 2^-25) to the float below it: the result is 1.
__attribute__((target("avx2"))) void WeightExpAvx2(const float* q, float* out, int32_t n) {
  const __m256d lowest = _mm256_set1_pd(-4.0), zero = _mm256_setzero_pd();
  const __m256d tiny = _mm256_set1_pd(-1.0 / 67108864.0);  // -2^-26
  const __m256d log2e = _mm256_set1_pd(1.4426950408889634);
  const __m256d ln2hi = _mm256_set1_pd(6.93147180369123816490e-01);  // low bits zero
  const __m256d ln2lo = _mm256_set1_pd(1.90821492927058770002e-10);
  const __m256d down = _mm256_set1_pd(1.0 - 1.0 / 68719476736.0), up = _mm256_set1_pd(1.0 + 1.0 / 68719476736.0);
  static constexpr double kInverseFactorial[12] = {1.0,
                                                   1.0,
                                                   1.0 / 2,
                                                   1.0 / 6,
                                                   1.0 / 24,
                                                   1.0 / 120,
                                                   1.0 / 720,
                                                   1.0 / 5040,
                                                   1.0 / 40320,
                                                   1.0 / 362880,
                                                   1.0 / 3628800,
                                                   1.0 / 39916800};
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(q + i));
    // Lanes in [-4, 0] (false for NaN), and those of them below -2^-26.
    const __m256d inRange = _mm256_and_pd(_mm256_cmp_pd(x, lowest, _CMP_GE_OQ), _mm256_cmp_pd(x, zero, _CMP_LE_OQ));
    const __m256d big = _mm256_cmp_pd(x, tiny, _CMP_LE_OQ);
    const __m256d k = _mm256_round_pd(_mm256_mul_pd(x, log2e), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d r = _mm256_sub_pd(_mm256_sub_pd(x, _mm256_mul_pd(k, ln2hi)), _mm256_mul_pd(k, ln2lo));
    __m256d p = _mm256_set1_pd(kInverseFactorial[11]);
    for (int j = 10; j >= 0; --j) p = _mm256_add_pd(_mm256_mul_pd(p, r), _mm256_set1_pd(kInverseFactorial[j]));
    // 2^k from its exponent bits; k lies in [-6, 0] here (outside, the lane goes to the library).
    const __m128i k32 = _mm256_cvtpd_epi32(_mm256_and_pd(k, inRange));
    const __m256i bits = _mm256_slli_epi64(_mm256_add_epi64(_mm256_cvtepi32_epi64(k32), _mm256_set1_epi64x(1023)), 52);
    const __m256d y = _mm256_mul_pd(p, _mm256_castsi256_pd(bits));
    const __m128 f = _mm256_cvtpd_ps(y);
    const __m128i sure = _mm_cmpeq_epi32(_mm_castps_si128(_mm256_cvtpd_ps(_mm256_mul_pd(y, down))),
                                         _mm_castps_si128(_mm256_cvtpd_ps(_mm256_mul_pd(y, up))));
    _mm_storeu_ps(out + i, f);
    const int inLanes = _mm256_movemask_pd(inRange), bigLanes = _mm256_movemask_pd(big);
    const int sureLanes = _mm_movemask_ps(_mm_castsi128_ps(sure));
    const int oneLanes = inLanes & ~bigLanes;
    const int libraryLanes = (~inLanes | (bigLanes & ~sureLanes)) & 15;
    if ((oneLanes | libraryLanes) == 0) continue;
    for (int j = 0; j < 4; ++j) {
      if (oneLanes & (1 << j)) out[i + j] = 1.0f;
      else if (libraryLanes & (1 << j)) out[i + j] = ExpF(q[i + j]);
    }
  }
  WeightExpLibrary(q + i, out + i, n - i);
}

#else

void WeightExpAvx2(const float* q, float* out, int32_t n) { WeightExpLibrary(q, out, n); }

#endif

}  // namespace brevant
