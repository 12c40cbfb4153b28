// Lane types: the arithmetic the stages' rules are written in, for one value (Scalar) or a
// register of them (Sse2, Avx2, Avx512). Every type has kLanes values of double (D) and as
// many floats (F), and the same operations, each the exact IEEE operation lane by lane, so
// that a rule written over a lane type gives the same bits at every width:
//   D: Zero Set1 Load Store Add Sub Mul Div Neg Abs Sqrt RoundToFloat SelectNotBelow Lane
//   F: LoadF StoreF Set1F MulF ZeroBelowZero, and Widen (F to D) and Narrow (D to F).
//   M (a lane mask): Less NotLess (with a NaN, Less is false and NotLess true), Select, Bits.
//
// A rule over L must be compiled for L's processor: the stages include their rule headers
// inside a namespace per width, between BREVANT_TARGET_BEGIN_* and BREVANT_TARGET_END (a
// template defined outside such a region cannot use the wider registers).
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BREVANT_X86 1
#endif

// Every function defined between BEGIN and END is compiled for that processor.
#if defined(__clang__)
#define BREVANT_PRAGMA(x) _Pragma(#x)
#define BREVANT_TARGET_BEGIN_AVX2 BREVANT_PRAGMA(clang attribute push(__attribute__((target("avx2"))), apply_to = function))
#define BREVANT_TARGET_BEGIN_AVX512 \
  BREVANT_PRAGMA(clang attribute push(__attribute__((target("avx2,avx512f,avx512vl,avx512dq"))), apply_to = function))
#define BREVANT_TARGET_END BREVANT_PRAGMA(clang attribute pop)
#else
#define BREVANT_PRAGMA(x) _Pragma(#x)
#define BREVANT_TARGET_BEGIN_AVX2 BREVANT_PRAGMA(GCC push_options) BREVANT_PRAGMA(GCC target("avx2"))
#define BREVANT_TARGET_BEGIN_AVX512 \
  BREVANT_PRAGMA(GCC push_options) BREVANT_PRAGMA(GCC target("avx2,avx512f,avx512vl,avx512dq"))
#define BREVANT_TARGET_END BREVANT_PRAGMA(GCC pop_options)
#endif

namespace brevant::lanes {

struct Scalar {
  static constexpr int kLanes = 1;
  using D = double;
  using F = float;
  static D Zero() { return 0.0; }
  static D Set1(double v) { return v; }
  static D Load(const double* p) { return *p; }
  static void Store(double* p, D v) { *p = v; }
  static D Add(D a, D b) { return a + b; }
  static D Sub(D a, D b) { return a - b; }
  static D Mul(D a, D b) { return a * b; }
  static D Div(D a, D b) { return a / b; }
  static D Neg(D a) { return -a; }
  static D Abs(D a) { return std::fabs(a); }  // the sign bit cleared, a NaN's too
  static D Sqrt(D a) { return std::sqrt(a); }
  static D RoundToFloat(D a) { return static_cast<float>(a); }
  // v unless v < floor: a NaN v is kept.
  static D SelectNotBelow(D v, D floor) { return !(v < floor) ? v : floor; }
  using M = bool;
  static M Less(D a, D b) { return a < b; }
  static M NotLess(D a, D b) { return !(a < b); }
  static D Select(M m, D a, D b) { return m ? a : b; }  // a where m is set
  static int Bits(M m) { return m ? 1 : 0; }            // bit j: lane j of m
  static double Lane(D v, int) { return v; }
  static F LoadF(const float* p) { return *p; }
  static void StoreF(float* p, F v) { *p = v; }
  static F Set1F(float v) { return v; }
  static F MulF(F a, F b) { return a * b; }
  // 0 for a value below 0; -0 and NaN are kept.
  static F ZeroBelowZero(F v) { return !(v < 0.0f) ? v : 0.0f; }
  static D Widen(F v) { return v; }
  static F Narrow(D v) { return static_cast<float>(v); }
};

#if defined(BREVANT_X86)

// Two lanes; the floats are the low half of an SSE register.
struct Sse2 {
  static constexpr int kLanes = 2;
  using D = __m128d;
  using F = __m128;
  static D Zero() { return _mm_setzero_pd(); }
  static D Set1(double v) { return _mm_set1_pd(v); }
  static D Load(const double* p) { return _mm_loadu_pd(p); }
  static void Store(double* p, D v) { _mm_storeu_pd(p, v); }
  static D Add(D a, D b) { return _mm_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
  static D Div(D a, D b) { return _mm_div_pd(a, b); }
  static D Neg(D a) { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
  static D Abs(D a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
  static D Sqrt(D a) { return _mm_sqrt_pd(a); }
  static D RoundToFloat(D a) { return _mm_cvtps_pd(_mm_cvtpd_ps(a)); }
  static D SelectNotBelow(D v, D floor) {
    const D below = _mm_cmplt_pd(v, floor);
    return _mm_or_pd(_mm_and_pd(below, floor), _mm_andnot_pd(below, v));
  }
  using M = __m128d;
  static M Less(D a, D b) { return _mm_cmplt_pd(a, b); }
  static M NotLess(D a, D b) { return _mm_cmpnlt_pd(a, b); }
  static D Select(M m, D a, D b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
  static int Bits(M m) { return _mm_movemask_pd(m); }
  static double Lane(D v, int j) { return j == 0 ? _mm_cvtsd_f64(v) : _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }
  static F LoadF(const float* p) {
    double two;
    std::memcpy(&two, p, sizeof two);
    return _mm_castpd_ps(_mm_set_sd(two));
  }
  static void StoreF(float* p, F v) { _mm_storel_pi(reinterpret_cast<__m64*>(p), v); }
  static F Set1F(float v) { return _mm_set1_ps(v); }
  static F MulF(F a, F b) { return _mm_mul_ps(a, b); }
  // 0 as the first operand: max returns its second one for NaN and for two zeros.
  static F ZeroBelowZero(F v) { return _mm_max_ps(_mm_setzero_ps(), v); }
  static D Widen(F v) { return _mm_cvtps_pd(v); }
  static F Narrow(D v) { return _mm_cvtpd_ps(v); }
};

#define BREVANT_AVX2_LANE __attribute__((target("avx2"), always_inline)) static inline

struct Avx2 {
  static constexpr int kLanes = 4;
  using D = __m256d;
  using F = __m128;
  BREVANT_AVX2_LANE D Zero() { return _mm256_setzero_pd(); }
  BREVANT_AVX2_LANE D Set1(double v) { return _mm256_set1_pd(v); }
  BREVANT_AVX2_LANE D Load(const double* p) { return _mm256_loadu_pd(p); }
  BREVANT_AVX2_LANE void Store(double* p, D v) { _mm256_storeu_pd(p, v); }
  BREVANT_AVX2_LANE D Add(D a, D b) { return _mm256_add_pd(a, b); }
  BREVANT_AVX2_LANE D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
  BREVANT_AVX2_LANE D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
  BREVANT_AVX2_LANE D Div(D a, D b) { return _mm256_div_pd(a, b); }
  BREVANT_AVX2_LANE D Neg(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
  BREVANT_AVX2_LANE D Abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  BREVANT_AVX2_LANE D Sqrt(D a) { return _mm256_sqrt_pd(a); }
  BREVANT_AVX2_LANE D RoundToFloat(D a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
  BREVANT_AVX2_LANE D SelectNotBelow(D v, D floor) {
    return _mm256_blendv_pd(v, floor, _mm256_cmp_pd(v, floor, _CMP_LT_OQ));
  }
  using M = __m256d;
  BREVANT_AVX2_LANE M Less(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  BREVANT_AVX2_LANE M NotLess(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NLT_UQ); }
  BREVANT_AVX2_LANE D Select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }
  BREVANT_AVX2_LANE int Bits(M m) { return _mm256_movemask_pd(m); }
  __attribute__((target("avx2"))) static double Lane(D v, int j) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v);
    return lanes[j];
  }
  BREVANT_AVX2_LANE F LoadF(const float* p) { return _mm_loadu_ps(p); }
  BREVANT_AVX2_LANE void StoreF(float* p, F v) { _mm_storeu_ps(p, v); }
  BREVANT_AVX2_LANE F Set1F(float v) { return _mm_set1_ps(v); }
  BREVANT_AVX2_LANE F MulF(F a, F b) { return _mm_mul_ps(a, b); }
  BREVANT_AVX2_LANE F ZeroBelowZero(F v) { return _mm_max_ps(_mm_setzero_ps(), v); }
  BREVANT_AVX2_LANE D Widen(F v) { return _mm256_cvtps_pd(v); }
  BREVANT_AVX2_LANE F Narrow(D v) { return _mm256_cvtpd_ps(v); }
};

#undef BREVANT_AVX2_LANE
#define BREVANT_AVX512_LANE __attribute__((target("avx2,avx512f,avx512vl,avx512dq"), always_inline)) static inline

// The conversions and the square root are spelled through their masked forms with every
// lane selected: the compiler emits the plain instructions, and GCC 12's headers for the
// unmasked forms trip its own uninitialised-value warning.
struct Avx512 {
  static constexpr int kLanes = 8;
  using D = __m512d;
  using F = __m256;
  BREVANT_AVX512_LANE D Zero() { return _mm512_setzero_pd(); }
  BREVANT_AVX512_LANE D Set1(double v) { return _mm512_set1_pd(v); }
  BREVANT_AVX512_LANE D Load(const double* p) { return _mm512_loadu_pd(p); }
  BREVANT_AVX512_LANE void Store(double* p, D v) { _mm512_storeu_pd(p, v); }
  BREVANT_AVX512_LANE D Add(D a, D b) { return _mm512_add_pd(a, b); }
  BREVANT_AVX512_LANE D Sub(D a, D b) { return _mm512_sub_pd(a, b); }
  BREVANT_AVX512_LANE D Mul(D a, D b) { return _mm512_mul_pd(a, b); }
  BREVANT_AVX512_LANE D Div(D a, D b) { return _mm512_div_pd(a, b); }
  BREVANT_AVX512_LANE D Neg(D a) {
    return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MIN)));
  }
  BREVANT_AVX512_LANE D Abs(D a) { return _mm512_andnot_pd(_mm512_set1_pd(-0.0), a); }
  BREVANT_AVX512_LANE D Sqrt(D a) { return _mm512_mask_sqrt_pd(a, 0xFF, a); }
  BREVANT_AVX512_LANE D RoundToFloat(D a) { return Widen(Narrow(a)); }
  BREVANT_AVX512_LANE D SelectNotBelow(D v, D floor) {
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(v, floor, _CMP_LT_OQ), v, floor);
  }
  using M = __mmask8;
  BREVANT_AVX512_LANE M Less(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  BREVANT_AVX512_LANE M NotLess(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NLT_UQ); }
  BREVANT_AVX512_LANE D Select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }
  BREVANT_AVX512_LANE int Bits(M m) { return m; }
  __attribute__((target("avx2,avx512f,avx512vl,avx512dq"))) static double Lane(D v, int j) {
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, v);
    return lanes[j];
  }
  BREVANT_AVX512_LANE F LoadF(const float* p) { return _mm256_loadu_ps(p); }
  BREVANT_AVX512_LANE void StoreF(float* p, F v) { _mm256_storeu_ps(p, v); }
  BREVANT_AVX512_LANE F Set1F(float v) { return _mm256_set1_ps(v); }
  BREVANT_AVX512_LANE F MulF(F a, F b) { return _mm256_mul_ps(a, b); }
  BREVANT_AVX512_LANE F ZeroBelowZero(F v) { return _mm256_max_ps(_mm256_setzero_ps(), v); }
  BREVANT_AVX512_LANE D Widen(F v) { return _mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF, v); }
  BREVANT_AVX512_LANE F Narrow(D v) { return _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xFF, v); }
};

#undef BREVANT_AVX512_LANE

#endif  // BREVANT_X86

}  // namespace brevant::lanes
