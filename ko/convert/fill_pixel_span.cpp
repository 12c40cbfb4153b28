#include "ko/convert/fill_pixel_span.h"

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "ko/platform/cpu_features.h"

namespace ko {
namespace {

void CopyEach(uint8_t* d, const uint8_t* v, size_t size, size_t count) {
  for (size_t i = 0; i < count; ++i, d += size) std::memcpy(d, v, size);
}

}  // namespace

void* FillPixelSpan(void* dst, const void* value, size_t size, size_t count) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto* v = static_cast<const uint8_t*>(value);
  if (count == 0 || size == 0) return dst;
  const bool fastSize = size == 1 || size == 2 || size == 4 || size == 8 || size == 16;
  if (!fastSize) {
    CopyEach(d, v, size, count);
    return dst;
  }
  if (!GetCpuFeatures().sse2) {
    if (size == 1) std::memset(d, v[0], count);
    else CopyEach(d, v, size, count);
    return dst;
  }
  // A 16-byte pattern holding the value 16 / size times, stored block after block; the
  // values that do not fill a whole block are written one by one after them.
  alignas(16) uint8_t pattern[16];
  for (size_t k = 0; k < 16; k += size) std::memcpy(pattern + k, v, size);
  const __m128i p = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern));
  const size_t blocks = size * count / 16;
  if ((reinterpret_cast<uintptr_t>(d) & 15) == 0) {
    for (size_t b = 0; b < blocks; ++b) _mm_store_si128(reinterpret_cast<__m128i*>(d + 16 * b), p);
  } else {
    for (size_t b = 0; b < blocks; ++b) _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16 * b), p);
  }
  CopyEach(d + 16 * blocks, v, size, count % (16 / size));
  return dst;
}

}  // namespace ko
