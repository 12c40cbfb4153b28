#include "ko/filter/filter_row.h"

#include "ko/filter/row_sums.h"
#include "ko/platform/cpu_features.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace ko {
namespace {

// One output sample of band `band` of a `bands`-band row at position x: the scalar rule
// that every form follows, border taps included.
inline float FilterSample(const float* source, const float* taps, int32_t n, int32_t c, int64_t width,
                          int32_t bands, int32_t band, int64_t x, int32_t border) {
  float acc = 0.0f;
  const int64_t first = x - c;
  if (first >= 0 && first + n <= width) {
    const float* s = source + first * bands + band;
    for (int32_t k = 0; k < n; ++k) acc += taps[k] * s[static_cast<int64_t>(k) * bands];
  } else {
    for (int32_t k = 0; k < n; ++k) {
      int64_t index = 0;
      if (ResolveBorder(first + k, width, border, &index)) acc += taps[k] * source[index * bands + band];
    }
  }
  return acc;
}

// The outputs whose every tap lies inside the row (x - c >= 0 and x - c + n <= width) are a
// correlation of a row that carries its own border: `paddedRow` (a form of FilterPaddedRow,
// row_sums.h) gives them with the scalar rule's bits. The outputs at either end follow the
// border rule one by one.
void FilterRow1Lanes(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t border,
                     void (*paddedRow)(const float*, const float*, int32_t, int32_t, float*)) {
  const float* taps = kernel.taps;
  const int32_t n = kernel.count;
  const int32_t c = kernel.center;
  const int64_t interiorEnd = static_cast<int64_t>(width) - n + c + 1;  // exclusive
  int64_t x = 0;
  for (; x < width && x < c; ++x) target[x] = FilterSample(source, taps, n, c, width, 1, 0, x, border);
  if (x < interiorEnd) {
    paddedRow(source + (x - c), taps, n, static_cast<int32_t>(interiorEnd - x), target + x);
    x = interiorEnd;
  }
  for (; x < width; ++x) target[x] = FilterSample(source, taps, n, c, width, 1, 0, x, border);
}

}  // namespace

void FilterRowGeneric(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t bands,
                      int32_t xStep, int32_t border) {
  const int64_t outWidth = FilteredRowLength(width, xStep);
  for (int64_t q = 0; q < outWidth; ++q)
    for (int32_t b = 0; b < bands; ++b)
      target[q * bands + b] =
          FilterSample(source, kernel.taps, kernel.count, kernel.center, width, bands, b, q * xStep, border);
}

void FilterRow1Scalar(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                      int32_t border) {
  const int64_t outWidth = FilteredRowLength(width, xStep);
  for (int64_t q = 0; q < outWidth; ++q)
    target[q] = FilterSample(source, kernel.taps, kernel.count, kernel.center, width, 1, 0, q * xStep, border);
}

void FilterRow4Scalar(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                      int32_t border) {
  const float* taps = kernel.taps;
  const int32_t n = kernel.count;
  const int64_t outWidth = FilteredRowLength(width, xStep);
  for (int64_t q = 0; q < outWidth; ++q) {
    const int64_t first = q * xStep - kernel.center;
    float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
      int64_t index = 0;
      if (!ResolveBorder(first + k, width, border, &index)) continue;
      const float* s = source + index * 4;
      const float t = taps[k];
      a0 += t * s[0];
      a1 += t * s[1];
      a2 += t * s[2];
      a3 += t * s[3];
    }
    float* out = target + q * 4;
    out[0] = a0;
    out[1] = a1;
    out[2] = a2;
    out[3] = a3;
  }
}

void FilterRow1Sse2(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                    int32_t border) {
  // Subsampled rows are not on the program's path; the scalar rule serves them.
  if (xStep != 1) FilterRow1Scalar(source, target, kernel, width, xStep, border);
  else FilterRow1Lanes(source, target, kernel, width, border, FilterPaddedRowSse2);
}

void FilterRow1Avx2(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                    int32_t border) {
  if (xStep != 1) FilterRow1Scalar(source, target, kernel, width, xStep, border);
  else FilterRow1Lanes(source, target, kernel, width, border, FilterPaddedRowAvx2);
}

#if defined(__SSE2__)

// One four-band pixel per vector, border taps included.
void FilterRow4Sse2(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                    int32_t border) {
  const float* taps = kernel.taps;
  const int32_t n = kernel.count;
  const int64_t outWidth = FilteredRowLength(width, xStep);
  for (int64_t q = 0; q < outWidth; ++q) {
    const int64_t first = q * xStep - kernel.center;
    __m128 acc = _mm_setzero_ps();
    if (first >= 0 && first + n <= width) {
      const float* s = source + first * 4;
      for (int32_t k = 0; k < n; ++k) acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(taps[k]), _mm_loadu_ps(s + 4 * k)));
    } else {
      for (int32_t k = 0; k < n; ++k) {
        int64_t index = 0;
        if (ResolveBorder(first + k, width, border, &index))
          acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(taps[k]), _mm_loadu_ps(source + index * 4)));
      }
    }
    _mm_storeu_ps(target + q * 4, acc);
  }
}

#else

void FilterRow4Sse2(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                    int32_t border) {
  FilterRow4Scalar(source, target, kernel, width, xStep, border);
}

#endif

void FilterRow(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t bands,
               int32_t xStep, int32_t border) {
  const CpuFeatures cpu = GetCpuFeatures();
  const bool sse2 = cpu.sse2;
  if (bands == 1) {
    if (cpu.avx2) FilterRow1Avx2(source, target, kernel, width, xStep, border);
    else if (sse2) FilterRow1Sse2(source, target, kernel, width, xStep, border);
    else FilterRow1Scalar(source, target, kernel, width, xStep, border);
  } else if (bands == 4) {
    if (sse2) FilterRow4Sse2(source, target, kernel, width, xStep, border);
    else FilterRow4Scalar(source, target, kernel, width, xStep, border);
  } else {
    FilterRowGeneric(source, target, kernel, width, bands, xStep, border);
  }
}

}  // namespace ko
