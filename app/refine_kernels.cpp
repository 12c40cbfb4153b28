#include "app/refine_kernels.h"

#include <algorithm>
#include <limits>

#include "app/avx512_lanes.h"
#include "ko/platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BREVANT_X86 1
#endif

namespace brevant {
namespace {

constexpr int32_t kBins = 36;

// The record of neighbour i of sample s of pixel x, at the start of its forward or backward
// part.
inline const float* Neighbour(const SStencilRow& st, int s, int32_t x, const float* const* rows, int32_t channels,
                              int i) {
  const float* row = rows[st.dy[s][x] + 2 + (i >> 1)];
  const bool backward = (st.flags[s][x] >> i) & 1;
  return row + static_cast<intptr_t>(st.ix[s][x] + (i & 1)) * 2 * channels + (backward ? channels : 0);
}

inline void FillNaN(float* out, int32_t count) {
  for (int32_t k = 0; k < count; ++k) out[k] = std::numeric_limits<float>::quiet_NaN();
}

}  // namespace

// The energy of one sample, as SupportRowScalar forms it; the energy records hold 2 floats a
// pixel, so a neighbour's part is at its `half` index.
inline float EnergySample(const SBinSample& b, const double* c, const float* top, const float* bottom) {
  const float v0 = b.weight[0] * top[b.half[0]];
  const float v1 = b.weight[1] * top[b.half[1]];
  const float v2 = b.weight[2] * bottom[b.half[2]];
  const float v3 = b.weight[3] * bottom[b.half[3]];
  float acc = static_cast<float>(static_cast<double>(v0) * c[0] + 0.0);
  acc = static_cast<float>(acc + static_cast<double>(v1) * c[1]);
  acc = static_cast<float>(acc + static_cast<double>(v2) * c[2]);
  acc = static_cast<float>(acc + static_cast<double>(v3) * c[3]);
  return acc < 0.0f ? 0.0f : acc;
}

void SupportRowScalar(const SStencilRow& st, const float* const* rows, int32_t channels, int32_t x0, int32_t x1,
                      float* out) {
  for (int32_t x = x0; x < x1; ++x) {
    for (int s = 0; s < 2; ++s) {
      float* o = out + static_cast<intptr_t>(x) * 2 * channels + s * channels;
      if (!(st.flags[s][x] & kStencilValid)) {
        FillNaN(o, channels);
        continue;
      }
      double c[4];
      BilinearWeights(st.fx[s][x], st.fy[s][x], c);
      const float* n[4];
      float w[4];
      for (int i = 0; i < 4; ++i) {
        n[i] = Neighbour(st, s, x, rows, channels, i);
        w[i] = st.weight[s][i][x];
      }
      for (int32_t k = 0; k < channels; ++k) {
        const float v0 = w[0] * n[0][k];
        const float v1 = w[1] * n[1][k];
        const float v2 = w[2] * n[2][k];
        const float v3 = w[3] * n[3][k];
        float acc = static_cast<float>(static_cast<double>(v0) * c[0] + 0.0);
        acc = static_cast<float>(acc + static_cast<double>(v1) * c[1]);
        acc = static_cast<float>(acc + static_cast<double>(v2) * c[2]);
        acc = static_cast<float>(acc + static_cast<double>(v3) * c[3]);
        o[k] = acc < 0.0f ? 0.0f : acc;
      }
    }
  }
}

#if defined(BREVANT_X86)

// Two bins in the double lanes of one register; a pixel's 36 bins in 18 of them.
void SupportRowBinsSse2(const SStencilRow& st, const float* const* rows, int32_t channels, int32_t x0, int32_t x1,
                        float* out) {
  (void)channels;
  const __m128d zerod = _mm_setzero_pd();
  const __m128 zero = _mm_setzero_ps();
  for (int32_t x = x0; x < x1; ++x) {
    for (int s = 0; s < 2; ++s) {
      float* o = out + static_cast<intptr_t>(x) * 2 * kBins + s * kBins;
      if (!(st.flags[s][x] & kStencilValid)) {
        FillNaN(o, kBins);
        continue;
      }
      double c[4];
      BilinearWeights(st.fx[s][x], st.fy[s][x], c);
      __m128d acc[kBins / 2];
#pragma GCC unroll 4
      for (int i = 0; i < 4; ++i) {
        const float* n = Neighbour(st, s, x, rows, kBins, i);
        const __m128 w = _mm_set1_ps(st.weight[s][i][x]);
        const __m128d ci = _mm_set1_pd(c[i]);
#pragma GCC unroll 9
        for (int g = 0; g < kBins / 4; ++g) {
          const __m128 v = _mm_mul_ps(w, _mm_loadu_ps(n + 4 * g));
          const __m128d lo = _mm_mul_pd(_mm_cvtps_pd(v), ci);
          const __m128d hi = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(v, v)), ci);
          __m128d& a = acc[2 * g];
          __m128d& b = acc[2 * g + 1];
          if (i == 0) {
            a = _mm_add_pd(lo, zerod);
            b = _mm_add_pd(hi, zerod);
          } else {
            a = _mm_add_pd(a, lo);
            b = _mm_add_pd(b, hi);
          }
          if (i < 3) {
            a = _mm_cvtps_pd(_mm_cvtpd_ps(a));
            b = _mm_cvtps_pd(_mm_cvtpd_ps(b));
          }
        }
      }
#pragma GCC unroll 9
      for (int g = 0; g < kBins / 4; ++g) {
        const __m128 sum = _mm_movelh_ps(_mm_cvtpd_ps(acc[2 * g]), _mm_cvtpd_ps(acc[2 * g + 1]));
        // 0 as the first operand: a NaN sum passes through, as "below 0 gives 0" keeps it.
        _mm_storeu_ps(o + 4 * g, _mm_max_ps(zero, sum));
      }
    }
  }
}

// Every function of this namespace is compiled for AVX2 (clang has no GCC target pragma).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {

// Four bins in the double lanes of one register; a sample's 36 bins in 9 of them. `top` and
// `bottom` are the record rows of p00 / p10 and of p01 / p11.
inline void BinsSample(const SBinSample& b, const double* c, const float* top, const float* bottom, float* out) {
  const __m256d zerod = _mm256_setzero_pd();
  const __m128 zero = _mm_setzero_ps();
  __m256d acc[kBins / 4];
  {
    const float* n = top + static_cast<size_t>(b.half[0]) * kBins;
    const __m128 w = _mm_broadcast_ss(&b.weight[0]);
    const __m256d ci = _mm256_broadcast_sd(&c[0]);
#pragma GCC unroll 9
    for (int g = 0; g < kBins / 4; ++g) {
      const __m256d t = _mm256_mul_pd(_mm256_cvtps_pd(_mm_mul_ps(w, _mm_loadu_ps(n + 4 * g))), ci);
      acc[g] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(t, zerod)));
    }
  }
#pragma GCC unroll 2
  for (int i = 1; i < 3; ++i) {
    const float* n = (i == 1 ? top : bottom) + static_cast<size_t>(b.half[i]) * kBins;
    const __m128 w = _mm_broadcast_ss(&b.weight[i]);
    const __m256d ci = _mm256_broadcast_sd(&c[i]);
#pragma GCC unroll 9
    for (int g = 0; g < kBins / 4; ++g) {
      const __m256d t = _mm256_mul_pd(_mm256_cvtps_pd(_mm_mul_ps(w, _mm_loadu_ps(n + 4 * g))), ci);
      acc[g] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(acc[g], t)));
    }
  }
  {
    const float* n = bottom + static_cast<size_t>(b.half[3]) * kBins;
    const __m128 w = _mm_broadcast_ss(&b.weight[3]);
    const __m256d ci = _mm256_broadcast_sd(&c[3]);
#pragma GCC unroll 9
    for (int g = 0; g < kBins / 4; ++g) {
      const __m256d t = _mm256_mul_pd(_mm256_cvtps_pd(_mm_mul_ps(w, _mm_loadu_ps(n + 4 * g))), ci);
      // 0 as the first operand: a NaN sum passes through, as "below 0 gives 0" keeps it.
      _mm_storeu_ps(out + 4 * g, _mm_max_ps(zero, _mm256_cvtpd_ps(_mm256_add_pd(acc[g], t))));
    }
  }
}

#include "app/refine_samples_row.inc"
}  // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512vl,avx512dq"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512dq")
#endif
namespace avx512 {

// Eight bins in the double lanes of one register, a sample's 36 bins in four of them and
// one of four lanes: the same steps as the AVX2 form, half the instructions.
inline void BinsSample(const SBinSample& b, const double* c, const float* top, const float* bottom, float* out) {
  constexpr int kWide = kBins / 8;  // 4 groups of 8 bins, then bins 32 .. 35
  __m512d acc[kWide];
  __m256d tail;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const float* n = (i < 2 ? top : bottom) + static_cast<size_t>(b.half[i]) * kBins;
    const __m256 w = _mm256_broadcast_ss(&b.weight[i]);
    const __m512d ci = _mm512_set1_pd(c[i]);
    const __m256d ci4 = _mm256_set1_pd(c[i]);
#pragma GCC unroll 4
    for (int g = 0; g < kWide; ++g) {
      const __m512d t = _mm512_mul_pd(avx512_lanes::Widen(_mm256_mul_ps(w, _mm256_loadu_ps(n + 8 * g))), ci);
      // The first term adds 0.0 (which turns -0 into +0), the others the running sum.
      const __m256 sum = avx512_lanes::Narrow(_mm512_add_pd(i == 0 ? _mm512_setzero_pd() : acc[g], t));
      if (i < 3)
        acc[g] = avx512_lanes::Widen(sum);
      else  // 0 as the first operand: a NaN sum passes through, as "below 0 gives 0" keeps it.
        _mm256_storeu_ps(out + 8 * g, _mm256_max_ps(_mm256_setzero_ps(), sum));
    }
    const __m256d t = _mm256_mul_pd(_mm256_cvtps_pd(_mm_mul_ps(_mm256_castps256_ps128(w), _mm_loadu_ps(n + 32))), ci4);
    const __m128 sum = _mm256_cvtpd_ps(_mm256_add_pd(i == 0 ? _mm256_setzero_pd() : tail, t));
    if (i < 3)
      tail = _mm256_cvtps_pd(sum);
    else
      _mm_storeu_ps(out + 32, _mm_max_ps(_mm_setzero_ps(), sum));
  }
}

#include "app/refine_samples_row.inc"
}  // namespace avx512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

void SupportRowSamplesAvx2(const SStencilRow& st, const float* const* energyRows, const float* const* binRows,
                           int32_t x0, int32_t x1, float* energyOut, float* binOut) {
  avx2::SamplesRow(st, energyRows, binRows, x0, x1, energyOut, binOut);
}

void SupportRowSamplesAvx512(const SStencilRow& st, const float* const* energyRows, const float* const* binRows,
                             int32_t x0, int32_t x1, float* energyOut, float* binOut) {
  avx512::SamplesRow(st, energyRows, binRows, x0, x1, energyOut, binOut);
}

namespace {

// Four pixels' bilinear weight of neighbour i from their fractions, in double.
__attribute__((target("avx2"))) inline __m256d Bilinear(__m256d fx, __m256d fy, int i) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d a = (i & 1) ? fx : _mm256_sub_pd(one, fx);
  const __m256d b = (i & 2) ? fy : _mm256_sub_pd(one, fy);
  return _mm256_mul_pd(a, b);
}

// One sample of eight pixels x .. x + 7; rowOffsets[d] is row d's distance from rows[2].
__attribute__((target("avx2"))) inline __m256 EnergySample8(const SStencilRow& st, int s, int32_t x,
                                                            const float* base, __m256i rowOffsets) {
  const __m256i ix = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(st.ix[s] + x));
  const __m256i dy = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(st.dy[s] + x)));
  const __m256i flags = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(st.flags[s] + x)));
  const __m256 fxs = _mm256_loadu_ps(st.fx[s] + x), fys = _mm256_loadu_ps(st.fy[s] + x);
  const __m256d fxLo = _mm256_cvtps_pd(_mm256_castps256_ps128(fxs)), fxHi = _mm256_cvtps_pd(_mm256_extractf128_ps(fxs, 1));
  const __m256d fyLo = _mm256_cvtps_pd(_mm256_castps256_ps128(fys)), fyHi = _mm256_cvtps_pd(_mm256_extractf128_ps(fys, 1));
  const __m256i two = _mm256_set1_epi32(2), one = _mm256_set1_epi32(1);
  // Row of p00 and p01: offsets of rows dy + 2 and dy + 3.
  const __m256i top = _mm256_permutevar8x32_epi32(rowOffsets, _mm256_add_epi32(dy, two));
  const __m256i bottom = _mm256_permutevar8x32_epi32(rowOffsets, _mm256_add_epi32(dy, _mm256_set1_epi32(3)));
  const __m256i column = _mm256_add_epi32(ix, ix);  // two floats a pixel
  __m256d accLo = _mm256_setzero_pd(), accHi = _mm256_setzero_pd();
  __m256 result = _mm256_setzero_ps();
  for (int i = 0; i < 4; ++i) {
    __m256i index = _mm256_add_epi32((i >> 1) ? bottom : top, column);
    if (i & 1) index = _mm256_add_epi32(index, two);
    index = _mm256_add_epi32(index, _mm256_and_si256(_mm256_srli_epi32(flags, i), one));
    const __m256 record = _mm256_i32gather_ps(base, index, 4);
    const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(st.weight[s][i] + x), record);
    const __m256d tLo = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(v)), Bilinear(fxLo, fyLo, i));
    const __m256d tHi = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)), Bilinear(fxHi, fyHi, i));
    // The first term adds 0.0 (which turns -0 into +0), the others the running sum; each
    // sum is rounded to float.
    const __m128 lo = _mm256_cvtpd_ps(_mm256_add_pd(accLo, tLo));
    const __m128 hi = _mm256_cvtpd_ps(_mm256_add_pd(accHi, tHi));
    if (i < 3) {
      accLo = _mm256_cvtps_pd(lo);
      accHi = _mm256_cvtps_pd(hi);
    } else {
      result = _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
    }
  }
  result = _mm256_max_ps(_mm256_setzero_ps(), result);
  // Points outside the image give NaN.
  const __m256i valid = _mm256_and_si256(flags, _mm256_set1_epi32(kStencilValid));
  const __m256 invalid = _mm256_castsi256_ps(_mm256_cmpeq_epi32(valid, _mm256_setzero_si256()));
  return _mm256_blendv_ps(result, _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN()), invalid);
}

}  // namespace

__attribute__((target("avx2"))) void SupportRowEnergyAvx2(const SStencilRow& st, const float* const* rows,
                                                          int32_t channels, int32_t x0, int32_t x1, float* out) {
  const float* base = rows[2];
  alignas(32) int32_t offsets[8] = {};
  for (int d = 0; d < kRecordRows; ++d) offsets[d] = static_cast<int32_t>(rows[d] - base);
  const __m256i rowOffsets = _mm256_load_si256(reinterpret_cast<const __m256i*>(offsets));
  int32_t x = x0;
  for (; x + 8 <= x1; x += 8) {
    const __m256 f = EnergySample8(st, 0, x, base, rowOffsets);
    const __m256 k = EnergySample8(st, 1, x, base, rowOffsets);
    // Interleave into the records' order: forward, backward of each pixel.
    const __m256 lo = _mm256_unpacklo_ps(f, k), hi = _mm256_unpackhi_ps(f, k);
    _mm256_storeu_ps(out + 2 * x, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(out + 2 * x + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
  SupportRowScalar(st, rows, channels, x, x1, out);
}

__attribute__((target("avx2"))) void AccumulateBinsAvx2(const float* records, int32_t x0, int32_t x1,
                                                        float* const* out, bool outIsZero) {
  int32_t x = x0;
  for (; x + 4 <= x1; x += 4) {
    const float* p = records + static_cast<intptr_t>(x) * 2 * kBins;
    for (int k = 0; k < kBins; k += 4) {
      // Rows: pixels x .. x + 3, lanes: bins k .. k + 3 of KB + FB in double.
      __m256d r[4];
      for (int j = 0; j < 4; ++j) {
        const float* q = p + j * 2 * kBins;
        r[j] = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(q + kBins + k)), _mm256_cvtps_pd(_mm_loadu_ps(q + k)));
      }
      const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
      const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
      const __m256d columns[4] = {_mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
                                  _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
      for (int j = 0; j < 4; ++j) {
        float* o = out[k + j] + x;
        const __m256d before = outIsZero ? _mm256_setzero_pd() : _mm256_cvtps_pd(_mm_loadu_ps(o));
        _mm_storeu_ps(o, _mm256_cvtpd_ps(_mm256_add_pd(columns[j], before)));
      }
    }
  }
  AccumulateBinsScalar(records, x, x1, out, outIsZero);
}

#else

void AccumulateBinsAvx2(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero) {
  AccumulateBinsScalar(records, x0, x1, out, outIsZero);
}

void SupportRowBinsSse2(const SStencilRow& st, const float* const* rows, int32_t channels, int32_t x0, int32_t x1,
                        float* out) {
  SupportRowScalar(st, rows, channels, x0, x1, out);
}
// Not chosen without AVX2; the same arithmetic one bin at a time.
void SupportRowSamplesAvx2(const SStencilRow& st, const float* const* energyRows, const float* const* binRows,
                           int32_t x0, int32_t x1, float* energyOut, float* binOut) {
  for (int32_t x = x0; x < x1; ++x) {
    for (int s = 0; s < 2; ++s) {
      const SBinSample& b = st.binSample[s][x];
      float* o = binOut + static_cast<intptr_t>(x) * 2 * kBins + s * kBins;
      if (!b.flags) {
        energyOut[2 * x + s] = std::numeric_limits<float>::quiet_NaN();
        FillNaN(o, kBins);
        continue;
      }
      double c[4];
      BilinearWeights(b.fx, b.fy, c);
      energyOut[2 * x + s] = EnergySample(b, c, energyRows[b.dy + 2], energyRows[b.dy + 3]);
      const float* top = binRows[b.dy + 2];
      const float* bottom = binRows[b.dy + 3];
      for (int k = 0; k < kBins; ++k) {
        SBinSample one = b;
        for (int i = 0; i < 4; ++i) one.half[i] = b.half[i] * kBins + k;
        o[k] = EnergySample(one, c, top, bottom);
      }
    }
  }
}
void SupportRowEnergyAvx2(const SStencilRow& st, const float* const* rows, int32_t channels, int32_t x0,
                          int32_t x1, float* out) {
  SupportRowScalar(st, rows, channels, x0, x1, out);
}

#endif

void AccumulateBinsScalar(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero) {
  for (int32_t xb = x0; xb < x1; xb += 16) {
    const int32_t xe = xb + 16 < x1 ? xb + 16 : x1;
    for (int k = 0; k < kBins; ++k) {
      float* o = out[k];
      for (int32_t x = xb; x < xe; ++x) {
        const float* p = records + static_cast<intptr_t>(x) * 2 * kBins;
        const float before = outIsZero ? 0.0f : o[x];
        o[x] = static_cast<float>((static_cast<double>(p[kBins + k]) + p[k]) + before);
      }
    }
  }
}

#if !defined(BREVANT_X86)
void SupportRowSamplesAvx512(const SStencilRow& st, const float* const* energyRows, const float* const* binRows,
                             int32_t x0, int32_t x1, float* energyOut, float* binOut) {
  SupportRowSamplesAvx2(st, energyRows, binRows, x0, x1, energyOut, binOut);
}
#endif

SamplesRowFn ChooseSupportRowSamples() {
  const ko::CpuFeatures cpu = ko::GetCpuFeatures();
  if (cpu.avx512) return SupportRowSamplesAvx512;
  return cpu.avx2 ? SupportRowSamplesAvx2 : nullptr;
}

AccumulateBinsFn ChooseAccumulateBins() {
  return ko::GetCpuFeatures().avx2 ? AccumulateBinsAvx2 : AccumulateBinsScalar;
}

SupportRowFn ChooseSupportRow(int32_t channels, int64_t rowSpan) {
  const ko::CpuFeatures cpu = ko::GetCpuFeatures();
  if (channels == kBins && cpu.sse2) return SupportRowBinsSse2;
  // The gathers take 32-bit indices.
  if (channels == 1 && cpu.avx2 && rowSpan < (int64_t{1} << 30)) return SupportRowEnergyAvx2;
  return SupportRowScalar;
}

}  // namespace brevant
