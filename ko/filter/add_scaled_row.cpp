#include "ko/filter/add_scaled_row.h"

#include <cstdint>

#include "ko/platform/cpu_features.h"

#if defined(__SSE__)
#include <immintrin.h>
#endif

namespace ko {
namespace {

void AddScaledTail(const float* source, float* target, float weight, int32_t start, int32_t count) {
  int32_t k = start;
  for (; k + 4 <= count; k += 4) {
    target[k] += weight * source[k];
    target[k + 1] += weight * source[k + 1];
    target[k + 2] += weight * source[k + 2];
    target[k + 3] += weight * source[k + 3];
  }
  for (; k < count; ++k) target[k] += weight * source[k];
}

}  // namespace

void AddScaledRowScalar(const float* source, float* target, float weight, int32_t count) {
  for (int32_t k = 0; k < count; ++k) target[k] += weight * source[k];
}

#if defined(__SSE__)
void AddScaledRowSse(const float* source, float* target, float weight, int32_t count) {
  const __m128 w = _mm_set1_ps(weight);
  int32_t k = 0;
  const bool aligned = ((reinterpret_cast<uintptr_t>(source) | reinterpret_cast<uintptr_t>(target)) & 15) == 0;
  if (aligned) {
    for (; k + 16 <= count; k += 16) {
      for (int32_t j = 0; j < 16; j += 4) {
        const __m128 product = _mm_mul_ps(w, _mm_load_ps(source + k + j));
        _mm_store_ps(target + k + j, _mm_add_ps(_mm_load_ps(target + k + j), product));
      }
    }
  } else {
    for (; k + 16 <= count; k += 16) {
      for (int32_t j = 0; j < 16; j += 4) {
        const __m128 product = _mm_mul_ps(w, _mm_loadu_ps(source + k + j));
        _mm_storeu_ps(target + k + j, _mm_add_ps(_mm_loadu_ps(target + k + j), product));
      }
    }
  }
  AddScaledTail(source, target, weight, k, count);
}
// 32 floats a step in eight-float vectors, then the scalar groups.
__attribute__((target("avx2"))) void AddScaledRowAvx2(const float* source, float* target, float weight,
                                                      int32_t count) {
  const __m256 w = _mm256_set1_ps(weight);
  int32_t k = 0;
  for (; k + 32 <= count; k += 32) {
    for (int32_t j = 0; j < 32; j += 8) {
      const __m256 product = _mm256_mul_ps(w, _mm256_loadu_ps(source + k + j));
      _mm256_storeu_ps(target + k + j, _mm256_add_ps(_mm256_loadu_ps(target + k + j), product));
    }
  }
  AddScaledTail(source, target, weight, k, count);
}
#else
void AddScaledRowAvx2(const float* source, float* target, float weight, int32_t count) {
  AddScaledRowScalar(source, target, weight, count);
}
void AddScaledRowSse(const float* source, float* target, float weight, int32_t count) {
  AddScaledRowScalar(source, target, weight, count);
}
#endif

void AddScaledRow(const float* source, float* target, float weight, int32_t count) {
  const CpuFeatures cpu = GetCpuFeatures();
  if (cpu.avx2) AddScaledRowAvx2(source, target, weight, count);
  else if (cpu.sse) AddScaledRowSse(source, target, weight, count);
  else AddScaledRowScalar(source, target, weight, count);
}

}  // namespace ko
