// The refinement's kernels compiled once per lane width from the one rule.
#include "app/refine/refine_lanes.h"

#include <limits>

#include "app/edge_state.h"
#include "app/lanes/lanes.h"
#include "app/refine/refine_rule.h"

namespace brevant {
namespace {

constexpr int32_t kBins = kHistogramBins;

namespace scalar {
#include "app/refine/support_rule.h"
#include "app/refine/bin_rows.h"
#include "app/refine/weight_rule.h"
}  // namespace scalar

#if defined(BREVANT_X86)
namespace sse2 {
#include "app/refine/support_rule.h"
#include "app/refine/bin_rows.h"
#include "app/refine/weight_rule.h"
}  // namespace sse2

BREVANT_TARGET_BEGIN_AVX2
namespace avx2 {
#include "app/refine/support_rule.h"
#include "app/refine/bin_rows.h"
#include "app/refine/weight_rule.h"

// One sample of eight pixels x .. x + 7 from the stencils' fields, as two registers of four;
// rowOffsets[d] is row d's distance from rows[2] in floats.
inline __m256 EnergySample8(const SStencilRow& st, int s, int32_t x, const float* base, __m256i rowOffsets) {
  using L = lanes::Avx2;
  const __m256i ix = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(st.ix[s] + x));
  const __m256i dy = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(st.dy[s] + x)));
  const __m256i flags = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(st.flags[s] + x)));
  const L::D fx[2] = {L::Widen(L::LoadF(st.fx[s] + x)), L::Widen(L::LoadF(st.fx[s] + x + 4))};
  const L::D fy[2] = {L::Widen(L::LoadF(st.fy[s] + x)), L::Widen(L::LoadF(st.fy[s] + x + 4))};
  const __m256i two = _mm256_set1_epi32(2), one = _mm256_set1_epi32(1);
  // Row of p00 and p01: offsets of rows dy + 2 and dy + 3.
  const __m256i top = _mm256_permutevar8x32_epi32(rowOffsets, _mm256_add_epi32(dy, two));
  const __m256i bottom = _mm256_permutevar8x32_epi32(rowOffsets, _mm256_add_epi32(dy, _mm256_set1_epi32(3)));
  const __m256i column = _mm256_add_epi32(ix, ix);  // two floats a pixel
  L::D sum[2];
  L::F result[2];
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    __m256i index = _mm256_add_epi32((i >> 1) ? bottom : top, column);
    if (i & 1) index = _mm256_add_epi32(index, two);
    index = _mm256_add_epi32(index, _mm256_and_si256(_mm256_srli_epi32(flags, i), one));
    const __m256 record = _mm256_i32gather_ps(base, index, 4);
    const L::F records[2] = {_mm256_castps256_ps128(record), _mm256_extractf128_ps(record, 1)};
#pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
      const L::D term = SupportTerm<L>(L::LoadF(st.weight[s][i] + x + 4 * half), records[half],
                                       Bilinear<L>(fx[half], fy[half], i));
      if (i == 0) sum[half] = SupportFirst<L>(term);
      else if (i < 3) sum[half] = SupportNext<L>(sum[half], term);
      else result[half] = SupportLast<L>(sum[half], term);
    }
  }
  // Points outside the image give NaN.
  const __m256i valid = _mm256_and_si256(flags, _mm256_set1_epi32(kStencilValid));
  const __m256 invalid = _mm256_castsi256_ps(_mm256_cmpeq_epi32(valid, _mm256_setzero_si256()));
  return _mm256_blendv_ps(_mm256_insertf128_ps(_mm256_castps128_ps256(result[0]), result[1], 1),
                          _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN()), invalid);
}

// Bins k .. k + 3 of pixels x .. x + 3, turned from pixel rows into bin rows.
inline void Transpose4(const float* p, int32_t stride, __m128 out[4]) {
  __m128 r[4];
  for (int j = 0; j < 4; ++j) r[j] = _mm_loadu_ps(p + j * stride);
  _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]);
  for (int j = 0; j < 4; ++j) out[j] = r[j];
}

}  // namespace avx2
BREVANT_TARGET_END

BREVANT_TARGET_BEGIN_AVX512
namespace avx512 {
#include "app/refine/support_rule.h"
#include "app/refine/bin_rows.h"
#include "app/refine/weight_rule.h"
}  // namespace avx512
BREVANT_TARGET_END
#endif

// The record of neighbour i of sample s of pixel x, at the start of its forward or backward
// part.
inline const float* Neighbour(const SStencilRow& st, int s, int32_t x, const float* const* rows, int32_t channels,
                              int i) {
  const float* row = rows[st.dy[s][x] + 2 + (i >> 1)];
  const bool backward = (st.flags[s][x] >> i) & 1;
  return row + static_cast<intptr_t>(st.ix[s][x] + (i & 1)) * 2 * channels + (backward ? channels : 0);
}

void WeightExponentsScalar(const float* theta, const float* neighbour, float* q, uint8_t* backward, int32_t n) {
  scalar::WeightExponents<lanes::Scalar>(theta, neighbour, q, backward, n);
}

void SamplesRowScalar(const SStencilRow& st, const float* const* energyRows, const float* const* binRows, int32_t x0,
                      int32_t x1, float* energyOut, float* binOut) {
  scalar::SamplesRow<lanes::Scalar, lanes::Scalar>(st, energyRows, binRows, x0, x1, energyOut, binOut);
}

#if defined(BREVANT_X86)
void SamplesRowSse2(const SStencilRow& st, const float* const* energyRows, const float* const* binRows, int32_t x0,
                    int32_t x1, float* energyOut, float* binOut) {
  sse2::SamplesRow<lanes::Sse2, lanes::Sse2>(st, energyRows, binRows, x0, x1, energyOut, binOut);
}

__attribute__((target("avx2"))) void SamplesRowAvx2(const SStencilRow& st, const float* const* energyRows,
                                                    const float* const* binRows, int32_t x0, int32_t x1,
                                                    float* energyOut, float* binOut) {
  avx2::SamplesRow<lanes::Avx2, lanes::Avx2>(st, energyRows, binRows, x0, x1, energyOut, binOut);
}

void WeightExponentsSse2(const float* theta, const float* neighbour, float* q, uint8_t* backward, int32_t n) {
  sse2::WeightExponents<lanes::Sse2>(theta, neighbour, q, backward, n);
}

__attribute__((target("avx2"))) void WeightExponentsAvx2(const float* theta, const float* neighbour, float* q,
                                                         uint8_t* backward, int32_t n) {
  avx2::WeightExponents<lanes::Avx2>(theta, neighbour, q, backward, n);
}

__attribute__((target("avx2,avx512f,avx512vl,avx512dq"))) void WeightExponentsAvx512(
    const float* theta, const float* neighbour, float* q, uint8_t* backward, int32_t n) {
  avx512::WeightExponents<lanes::Avx512>(theta, neighbour, q, backward, n);
}

__attribute__((target("avx2,avx512f,avx512vl,avx512dq"))) void SamplesRowAvx512(
    const SStencilRow& st, const float* const* energyRows, const float* const* binRows, int32_t x0, int32_t x1,
    float* energyOut, float* binOut) {
  avx512::SamplesRow<lanes::Avx512, lanes::Avx2>(st, energyRows, binRows, x0, x1, energyOut, binOut);
}
#endif

}  // namespace

void SupportRowScalar(const SStencilRow& st, const float* const* rows, int32_t channels, int32_t x0, int32_t x1,
                      float* out) {
  for (int32_t x = x0; x < x1; ++x) {
    for (int s = 0; s < 2; ++s) {
      float* o = out + static_cast<intptr_t>(x) * 2 * channels + s * channels;
      if (!(st.flags[s][x] & kStencilValid)) {
        for (int32_t k = 0; k < channels; ++k) o[k] = std::numeric_limits<float>::quiet_NaN();
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
        const float record[4] = {n[0][k], n[1][k], n[2][k], n[3][k]};
        o[k] = scalar::Support<lanes::Scalar>(w, record, c);
      }
    }
  }
}

void AccumulateBinsScalar(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero) {
  for (int32_t xb = x0; xb < x1; xb += 16) {
    const int32_t xe = xb + 16 < x1 ? xb + 16 : x1;
    for (int k = 0; k < kBins; ++k) {
      float* o = out[k];
      for (int32_t x = xb; x < xe; ++x) {
        const float* p = records + static_cast<intptr_t>(x) * kBinRecord;
        o[x] = RefinedValue(p[k], p[kBinHalf + k], outIsZero ? 0.0f : o[x]);
      }
    }
  }
}

#if defined(BREVANT_X86)

__attribute__((target("avx2"))) void SupportRowEnergyAvx2(const SStencilRow& st, const float* const* rows,
                                                          int32_t channels, int32_t x0, int32_t x1, float* out) {
  const float* base = rows[2];
  alignas(32) int32_t offsets[8] = {};
  for (int d = 0; d < kRecordRows; ++d) offsets[d] = static_cast<int32_t>(rows[d] - base);
  const __m256i rowOffsets = _mm256_load_si256(reinterpret_cast<const __m256i*>(offsets));
  int32_t x = x0;
  for (; x + 8 <= x1; x += 8) {
    const __m256 f = avx2::EnergySample8(st, 0, x, base, rowOffsets);
    const __m256 k = avx2::EnergySample8(st, 1, x, base, rowOffsets);
    // Interleave into the records' order: forward, backward of each pixel.
    const __m256 lo = _mm256_unpacklo_ps(f, k), hi = _mm256_unpackhi_ps(f, k);
    _mm256_storeu_ps(out + 2 * x, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(out + 2 * x + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
  SupportRowScalar(st, rows, channels, x, x1, out);
}

// Into planes known to be zero, 16 pixels of a bin at a time, from pixel x (its bins' 32-byte
// aligned in every plane) while 16 remain: the stores go past the cache, since the planes are
// not read again here (the writer takes a band straight from memory), and so do not read
// each line in first. Returns the pixel after the last one done.
__attribute__((target("avx2"))) int32_t StreamBinsAvx2(const float* records, int32_t x, int32_t x1,
                                                       float* const* out) {
  using L = lanes::Avx2;
  for (; x + 16 <= x1; x += 16) {
    const float* p = records + static_cast<intptr_t>(x) * kBinRecord;
    for (int k = 0; k < kBins; k += 4) {
      __m128 sum[4][4];  // [four pixels][bin]
      for (int q = 0; q < 4; ++q) {
        __m128 forward[4], backward[4];
        avx2::Transpose4(p + 4 * q * kBinRecord + k, kBinRecord, forward);
        avx2::Transpose4(p + 4 * q * kBinRecord + kBinHalf + k, kBinRecord, backward);
        for (int j = 0; j < 4; ++j) sum[q][j] = avx2::FinalSum<L>(forward[j], backward[j], _mm_setzero_ps());
      }
      for (int j = 0; j < 4; ++j) {
        float* o = out[k + j] + x;
        _mm256_stream_ps(o, _mm256_set_m128(sum[1][j], sum[0][j]));
        _mm256_stream_ps(o + 8, _mm256_set_m128(sum[3][j], sum[2][j]));
      }
    }
  }
  // Whoever reads the planes next reads what was stored.
  _mm_sfence();
  return x;
}

// Four pixels by four bins at a time from pixel x while four remain before `end`; returns the
// pixel after the last one done.
__attribute__((target("avx2"))) int32_t AccumulateQuadsAvx2(const float* records, int32_t x, int32_t end,
                                                            float* const* out, bool outIsZero) {
  using L = lanes::Avx2;
  for (; x + 4 <= end; x += 4) {
    const float* p = records + static_cast<intptr_t>(x) * kBinRecord;
    for (int k = 0; k < kBins; k += 4) {
      __m128 forward[4], backward[4];
      avx2::Transpose4(p + k, kBinRecord, forward);
      avx2::Transpose4(p + kBinHalf + k, kBinRecord, backward);
      for (int j = 0; j < 4; ++j) {
        float* o = out[k + j] + x;
        const L::F before = outIsZero ? _mm_setzero_ps() : L::LoadF(o);
        L::StoreF(o, avx2::FinalSum<L>(forward[j], backward[j], before));
      }
    }
  }
  return x;
}

__attribute__((target("avx2"))) void AccumulateBinsAvx2(const float* records, int32_t x0, int32_t x1,
                                                        float* const* out, bool outIsZero) {
  int32_t x = x0;
  if (outIsZero) {
    // Up to the first pixel whose bins are 32-byte aligned, when the planes are all aligned
    // alike, then past the cache.
    const uintptr_t offset = reinterpret_cast<uintptr_t>(out[0] + x0) % 32;
    bool alike = offset % sizeof(float) == 0;
    for (int k = 1; k < kBins && alike; ++k) alike = reinterpret_cast<uintptr_t>(out[k] + x0) % 32 == offset;
    const int32_t aligned = x0 + static_cast<int32_t>((32 - offset) % 32 / sizeof(float));
    if (alike && aligned + 16 <= x1) {
      AccumulateBinsScalar(records, x0, aligned, out, true);
      x = StreamBinsAvx2(records, aligned, x1, out);
    }
  }
  x = AccumulateQuadsAvx2(records, x, x1, out, outIsZero);
  AccumulateBinsScalar(records, x, x1, out, outIsZero);
}

#else

void SupportRowEnergyAvx2(const SStencilRow& st, const float* const* rows, int32_t channels, int32_t x0, int32_t x1,
                          float* out) {
  SupportRowScalar(st, rows, channels, x0, x1, out);
}
void AccumulateBinsAvx2(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero) {
  AccumulateBinsScalar(records, x0, x1, out, outIsZero);
}

#endif

SRefineLanes RefineLanesFor(const ko::CpuFeatures& cpu) {
  SRefineLanes t;
  t.energyRow = SupportRowScalar;
  t.samplesRow = SamplesRowScalar;
  t.accumulate = AccumulateBinsScalar;
  t.weightExponents = WeightExponentsScalar;
  t.weightExp = WeightExpLibrary;
#if defined(BREVANT_X86)
  if (cpu.sse2) {
    t.samplesRow = SamplesRowSse2;
    t.weightExponents = WeightExponentsSse2;
  }
  if (cpu.avx2) {
    t.energyRow = SupportRowEnergyAvx2;
    t.samplesRow = SamplesRowAvx2;
    t.accumulate = AccumulateBinsAvx2;
    t.weightExponents = WeightExponentsAvx2;
    t.weightExp = WeightExpAvx2;
  }
  if (cpu.avx512) {
    t.samplesRow = SamplesRowAvx512;
    t.weightExponents = WeightExponentsAvx512;
    t.weightExp = WeightExpAvx512;
  }
#else
  (void)cpu;
#endif
  return t;
}

}  // namespace brevant
