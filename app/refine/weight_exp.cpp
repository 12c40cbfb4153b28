#include "app/refine/weight_exp.h"

#include "app/float_math.h"
#include "app/lanes/lanes.h"

namespace brevant {

void WeightExpLibrary(const float* q, float* out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) out[i] = ExpF(q[i]);
}

#if defined(BREVANT_X86)
namespace {

BREVANT_TARGET_BEGIN_AVX2
namespace avx2 {
// The registers the exponential is written over (weight_exp_rule.h): the project's four
// double lanes, with the few operations it needs beyond them.
struct SExpLanes : lanes::Avx2 {
  static D Nearest(D a) { return _mm256_round_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
  static M NotBelow(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
  static M NotAbove(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static M And(M a, M b) { return _mm256_and_pd(a, b); }
  // 2^k for integral k in [-1022, 1023] where m is set, 1 elsewhere.
  static D Pow2(D k, M m) {
    const __m128i k32 = _mm256_cvtpd_epi32(_mm256_and_pd(k, m));
    return _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_add_epi64(_mm256_cvtepi32_epi64(k32), _mm256_set1_epi64x(1023)), 52));
  }
  static int SameFloats(F a, F b) {
    return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(a), _mm_castps_si128(b))));
  }
};

#include "app/refine/weight_exp_rule.h"
}  // namespace avx2
BREVANT_TARGET_END

BREVANT_TARGET_BEGIN_AVX512
namespace avx512 {
// Eight double lanes. (The masked forms keep GCC 12 from warning of its own undefined
// registers.)
struct SExpLanes : lanes::Avx512 {
  static D Nearest(D a) {
    return _mm512_mask_roundscale_pd(_mm512_setzero_pd(), 0xFF, a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  }
  static M NotBelow(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
  static M NotAbove(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static M And(M a, M b) { return static_cast<M>(a & b); }
  static D Pow2(D k, M m) {
    const __m256i k32 = _mm512_maskz_cvtpd_epi32(m, k);
    return _mm512_castsi512_pd(
        _mm512_maskz_slli_epi64(0xFF, _mm512_add_epi64(_mm512_maskz_cvtepi32_epi64(0xFF, k32), _mm512_set1_epi64(1023)),
                                52));
  }
  static int SameFloats(F a, F b) {
    return _mm256_cmpeq_epi32_mask(_mm256_castps_si256(a), _mm256_castps_si256(b));
  }
};

#include "app/refine/weight_exp_rule.h"
}  // namespace avx512
BREVANT_TARGET_END

}  // namespace

__attribute__((target("avx2"))) void WeightExpAvx2(const float* q, float* out, int32_t n) {
  avx2::WeightExpLanes<avx2::SExpLanes>(q, out, n);
}

__attribute__((target("avx2,avx512f,avx512vl,avx512dq"))) void WeightExpAvx512(const float* q, float* out,
                                                                                 int32_t n) {
  avx512::WeightExpLanes<avx512::SExpLanes>(q, out, n);
}

#else

void WeightExpAvx2(const float* q, float* out, int32_t n) { WeightExpLibrary(q, out, n); }
void WeightExpAvx512(const float* q, float* out, int32_t n) { WeightExpLibrary(q, out, n); }

#endif

}  // namespace brevant
