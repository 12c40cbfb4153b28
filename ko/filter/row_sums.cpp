#include "ko/filter/row_sums.h"

#include "ko/platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KO_X86 1
#endif

namespace ko {

void FilterPaddedRowScalar(const float* padded, const float* taps, int32_t n, int32_t width, float* out) {
  for (int32_t x = 0; x < width; ++x) {
    float acc = 0.0f;
    for (int32_t k = 0; k < n; ++k) acc += taps[k] * padded[x + k];
    out[x] = acc;
  }
}

void SumScaledRowsScalar(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out) {
  for (int32_t x = 0; x < width; ++x) {
    float acc = 0.0f;
    for (int32_t j = 0; j < n; ++j) acc += weights[j] * rows[j][x];
    out[x] = acc;
  }
}

#if defined(KO_X86)

void FilterPaddedRowSse2(const float* padded, const float* taps, int32_t n, int32_t width, float* out) {
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
    for (int32_t k = 0; k < n; ++k) {
      const __m128 t = _mm_set1_ps(taps[k]);
      a0 = _mm_add_ps(a0, _mm_mul_ps(t, _mm_loadu_ps(padded + x + k)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(t, _mm_loadu_ps(padded + x + k + 4)));
    }
    _mm_storeu_ps(out + x, a0);
    _mm_storeu_ps(out + x + 4, a1);
  }
  FilterPaddedRowScalar(padded + x, taps, n, width - x, out + x);
}

void SumScaledRowsSse2(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out) {
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
    for (int32_t j = 0; j < n; ++j) {
      const __m128 w = _mm_set1_ps(weights[j]);
      a0 = _mm_add_ps(a0, _mm_mul_ps(w, _mm_loadu_ps(rows[j] + x)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(w, _mm_loadu_ps(rows[j] + x + 4)));
    }
    _mm_storeu_ps(out + x, a0);
    _mm_storeu_ps(out + x + 4, a1);
  }
  for (; x < width; ++x) {
    float acc = 0.0f;
    for (int32_t j = 0; j < n; ++j) acc += weights[j] * rows[j][x];
    out[x] = acc;
  }
}

// Thirty-two outputs a step in four chains of sums, so that the adds overlap.
__attribute__((target("avx2"))) void FilterPaddedRowAvx2(const float* padded, const float* taps, int32_t n,
                                                         int32_t width, float* out) {
  int32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    for (int32_t k = 0; k < n; ++k) {
      const __m256 t = _mm256_set1_ps(taps[k]);
      const float* p = padded + x + k;
      a0 = _mm256_add_ps(a0, _mm256_mul_ps(t, _mm256_loadu_ps(p)));
      a1 = _mm256_add_ps(a1, _mm256_mul_ps(t, _mm256_loadu_ps(p + 8)));
      a2 = _mm256_add_ps(a2, _mm256_mul_ps(t, _mm256_loadu_ps(p + 16)));
      a3 = _mm256_add_ps(a3, _mm256_mul_ps(t, _mm256_loadu_ps(p + 24)));
    }
    _mm256_storeu_ps(out + x, a0);
    _mm256_storeu_ps(out + x + 8, a1);
    _mm256_storeu_ps(out + x + 16, a2);
    _mm256_storeu_ps(out + x + 24, a3);
  }
  for (; x + 8 <= width; x += 8) {
    __m256 a = _mm256_setzero_ps();
    for (int32_t k = 0; k < n; ++k)
      a = _mm256_add_ps(a, _mm256_mul_ps(_mm256_set1_ps(taps[k]), _mm256_loadu_ps(padded + x + k)));
    _mm256_storeu_ps(out + x, a);
  }
  FilterPaddedRowScalar(padded + x, taps, n, width - x, out + x);
}

__attribute__((target("avx2"))) void SumScaledRowsAvx2(const float* const* rows, const float* weights, int32_t n,
                                                       int32_t width, float* out) {
  int32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    for (int32_t j = 0; j < n; ++j) {
      const __m256 w = _mm256_set1_ps(weights[j]);
      const float* p = rows[j] + x;
      a0 = _mm256_add_ps(a0, _mm256_mul_ps(w, _mm256_loadu_ps(p)));
      a1 = _mm256_add_ps(a1, _mm256_mul_ps(w, _mm256_loadu_ps(p + 8)));
      a2 = _mm256_add_ps(a2, _mm256_mul_ps(w, _mm256_loadu_ps(p + 16)));
      a3 = _mm256_add_ps(a3, _mm256_mul_ps(w, _mm256_loadu_ps(p + 24)));
    }
    _mm256_storeu_ps(out + x, a0);
    _mm256_storeu_ps(out + x + 8, a1);
    _mm256_storeu_ps(out + x + 16, a2);
    _mm256_storeu_ps(out + x + 24, a3);
  }
  for (; x + 8 <= width; x += 8) {
    __m256 a = _mm256_setzero_ps();
    for (int32_t j = 0; j < n; ++j)
      a = _mm256_add_ps(a, _mm256_mul_ps(_mm256_set1_ps(weights[j]), _mm256_loadu_ps(rows[j] + x)));
    _mm256_storeu_ps(out + x, a);
  }
  for (; x < width; ++x) {
    float acc = 0.0f;
    for (int32_t j = 0; j < n; ++j) acc += weights[j] * rows[j][x];
    out[x] = acc;
  }
}

#else

void FilterPaddedRowSse2(const float* padded, const float* taps, int32_t n, int32_t width, float* out) {
  FilterPaddedRowScalar(padded, taps, n, width, out);
}
void FilterPaddedRowAvx2(const float* padded, const float* taps, int32_t n, int32_t width, float* out) {
  FilterPaddedRowScalar(padded, taps, n, width, out);
}
void SumScaledRowsSse2(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out) {
  SumScaledRowsScalar(rows, weights, n, width, out);
}
void SumScaledRowsAvx2(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out) {
  SumScaledRowsScalar(rows, weights, n, width, out);
}

#endif

void FilterPaddedRow(const float* padded, const float* taps, int32_t n, int32_t width, float* out) {
  const CpuFeatures cpu = GetCpuFeatures();
  if (cpu.avx2) FilterPaddedRowAvx2(padded, taps, n, width, out);
  else if (cpu.sse2) FilterPaddedRowSse2(padded, taps, n, width, out);
  else FilterPaddedRowScalar(padded, taps, n, width, out);
}

void SumScaledRows(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out) {
  const CpuFeatures cpu = GetCpuFeatures();
  if (cpu.avx2) SumScaledRowsAvx2(rows, weights, n, width, out);
  else if (cpu.sse2) SumScaledRowsSse2(rows, weights, n, width, out);
  else SumScaledRowsScalar(rows, weights, n, width, out);
}

}  // namespace ko
