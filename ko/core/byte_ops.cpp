#include "ko/core/byte_ops.h"

#include <emmintrin.h>

#include <cstring>

#include "ko/platform/cpu_features.h"

namespace ko {

void FillBytes(void* dst, uint8_t value, size_t count) {
  auto* d = static_cast<uint8_t*>(dst);
  if (count < 128) {
    for (size_t i = 0; i < count; ++i) d[i] = value;
    return;
  }
  if (GetCpuFeatures().sse2) {
    while (reinterpret_cast<uintptr_t>(d) & 15) {
      *d++ = value;
      --count;
    }
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    for (; count >= 16; count -= 16, d += 16) _mm_store_si128(reinterpret_cast<__m128i*>(d), v);
  } else {
    while (reinterpret_cast<uintptr_t>(d) & 3) {
      *d++ = value;
      --count;
    }
    const uint32_t word = value * 0x01010101u;
    for (; count >= 16; count -= 16, d += 16) {
      for (int k = 0; k < 4; ++k) std::memcpy(d + 4 * k, &word, 4);
    }
  }
  for (size_t i = 0; i < count; ++i) d[i] = value;
}

void CopyBytes(void* dst, const void* src, size_t count) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto* s = static_cast<const uint8_t*>(src);
  if (count < 16) {
    for (size_t i = 0; i < count; ++i) d[i] = s[i];
    return;
  }
  if (GetCpuFeatures().sse2) {
    while (reinterpret_cast<uintptr_t>(d) & 15) {
      *d++ = *s++;
      --count;
    }
    if ((reinterpret_cast<uintptr_t>(s) & 15) == 0) {
      for (; count >= 16; count -= 16, d += 16, s += 16)
        _mm_store_si128(reinterpret_cast<__m128i*>(d), _mm_load_si128(reinterpret_cast<const __m128i*>(s)));
    } else {
      for (; count >= 16; count -= 16, d += 16, s += 16)
        _mm_store_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    }
  } else {
    while (reinterpret_cast<uintptr_t>(d) & 3) {
      *d++ = *s++;
      --count;
    }
    for (; count >= 16; count -= 16, d += 16, s += 16) std::memcpy(d, s, 16);
  }
  for (size_t i = 0; i < count; ++i) d[i] = s[i];
}

}  // namespace ko
