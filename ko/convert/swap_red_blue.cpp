#include "ko/convert/swap_red_blue.h"

#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstring>

#include "ko/platform/cpu_features.h"

namespace ko {

void SwapRedBlue(uint8_t* row, size_t count) {
  size_t i = 0;
  if (GetCpuFeatures().sse2) {
    // Four pixels at a time: widen the bytes to 16-bit words, reorder each pixel's words
    // (2, 1, 0, 3) and pack them back.
    const __m128i zero = _mm_setzero_si128();
    for (; i + 4 <= count; i += 4) {
      uint8_t* p = row + 4 * i;
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i lo = _mm_unpacklo_epi8(v, zero);
      __m128i hi = _mm_unpackhi_epi8(v, zero);
      lo = _mm_shufflehi_epi16(_mm_shufflelo_epi16(lo, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2));
      hi = _mm_shufflehi_epi16(_mm_shufflelo_epi16(hi, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(lo, hi));
    }
  }
  for (; i < count; ++i) {
    uint8_t* p = row + 4 * i;
    const uint8_t t = p[0];
    p[0] = p[2];
    p[2] = t;
  }
}

void SwapRedBlue(float* row, size_t count) {
  if (GetCpuFeatures().sse) {
    // One shuffle per pixel.
    if ((reinterpret_cast<uintptr_t>(row) & 15) == 0) {
      for (size_t i = 0; i < count; ++i) {
        float* p = row + 4 * i;
        const __m128 v = _mm_load_ps(p);
        _mm_store_ps(p, _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 1, 2)));
      }
    } else {
      for (size_t i = 0; i < count; ++i) {
        float* p = row + 4 * i;
        const __m128 v = _mm_loadu_ps(p);
        _mm_storeu_ps(p, _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 1, 2)));
      }
    }
    return;
  }
  // Through integers, so that no NaN is touched by a floating-point move.
  for (size_t i = 0; i < count; ++i) {
    float* p = row + 4 * i;
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + 2, 4);
    std::memcpy(p, &b, 4);
    std::memcpy(p + 2, &a, 4);
  }
}

}  // namespace ko
