#include "ko/convert/element_span.h"

#include <emmintrin.h>

#include <type_traits>

#include "ko/convert/element_rules.h"
#include "ko/core/byte_ops.h"
#include "ko/platform/cpu_features.h"

namespace ko {
namespace {

template <class S, class D>
void ElementLoop(D* dst, const S* src, size_t count) {
  for (size_t i = 0; i < count; ++i) dst[i] = ElementRule<S, D>::Apply(src[i]);
}

bool IsAligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

template <bool kAligned>
__m128i Load(const void* p) {
  return kAligned ? _mm_load_si128(static_cast<const __m128i*>(p)) : _mm_loadu_si128(static_cast<const __m128i*>(p));
}

template <bool kAligned>
void Store(void* p, __m128i v) {
  if (kAligned) _mm_store_si128(static_cast<__m128i*>(p), v);
  else _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

// Clamping before the conversion keeps infinities and values beyond the 32-bit range
// away from cvtps2dq, which would turn them into 0x80000000. max(x, 0) returns its second
// operand when x is a NaN, so a NaN becomes 0 as well.
inline __m128i ClampRound(const float* p, __m128 top) {
  const __m128 x = _mm_min_ps(_mm_max_ps(_mm_load_ps(p), _mm_setzero_ps()), top);
  return _mm_cvtps_epi32(x);  // round to nearest, ties to even, as the scalar rule
}

// Whole vector blocks, called with the float side 16-aligned; kAligned tells whether the
// other side is. Each returns the number of elements it converted.

struct ByteToFloat {
  template <bool kAligned>
  static size_t Blocks(float* dst, const uint8_t* src, size_t count) {
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
      const __m128i v = Load<kAligned>(src + i);
      const __m128i lo = _mm_unpacklo_epi8(v, zero);
      const __m128i hi = _mm_unpackhi_epi8(v, zero);
      _mm_store_ps(dst + i, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
      _mm_store_ps(dst + i + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
      _mm_store_ps(dst + i + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
      _mm_store_ps(dst + i + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
    }
    return i;
  }
};

struct ShortToFloat {
  template <bool kAligned>
  static size_t Blocks(float* dst, const uint16_t* src, size_t count) {
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
      const __m128i v = Load<kAligned>(src + i);
      _mm_store_ps(dst + i, _mm_cvtepi32_ps(_mm_unpacklo_epi16(v, zero)));
      _mm_store_ps(dst + i + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(v, zero)));
    }
    return i;
  }
};

struct FloatToByte {
  template <bool kAligned>
  static size_t Blocks(uint8_t* dst, const float* src, size_t count) {
    const __m128 top = _mm_set1_ps(255.0f);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
      const __m128i a = ClampRound(src + i, top);
      const __m128i b = ClampRound(src + i + 4, top);
      const __m128i c = ClampRound(src + i + 8, top);
      const __m128i d = ClampRound(src + i + 12, top);
      Store<kAligned>(dst + i, _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
    }
    return i;
  }
};

struct FloatToShort {
  // SSE2 narrows 32-bit integers only to signed 16-bit: move 0..65535 to -32768..32767
  // (in integers, after the rounding, so no value is rounded twice) and flip the top bit
  // back afterwards.
  template <bool kAligned>
  static size_t Blocks(uint16_t* dst, const float* src, size_t count) {
    const __m128 top = _mm_set1_ps(65535.0f);
    const __m128i bias32 = _mm_set1_epi32(32768);
    const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
      const __m128i a = _mm_sub_epi32(ClampRound(src + i, top), bias32);
      const __m128i b = _mm_sub_epi32(ClampRound(src + i + 4, top), bias32);
      Store<kAligned>(dst + i, _mm_xor_si128(_mm_packs_epi32(a, b), bias16));
    }
    return i;
  }
};

// Single elements until the float side is 16-aligned, then vector blocks, then the rest
// element by element.
template <class Kernel, class S, class D>
void VectorSpan(D* dst, const S* src, size_t count) {
  constexpr bool kFloatIsDst = std::is_same_v<D, float>;
  auto floatSide = [&](size_t i) -> const void* { return kFloatIsDst ? static_cast<const void*>(dst + i) : src + i; };
  auto otherSide = [&](size_t i) -> const void* { return kFloatIsDst ? static_cast<const void*>(src + i) : dst + i; };
  size_t i = 0;
  while (i < count && !IsAligned16(floatSide(i))) {
    dst[i] = ElementRule<S, D>::Apply(src[i]);
    ++i;
  }
  if (i < count) {
    i += IsAligned16(otherSide(i)) ? Kernel::template Blocks<true>(dst + i, src + i, count - i)
                                   : Kernel::template Blocks<false>(dst + i, src + i, count - i);
  }
  ElementLoop(dst + i, src + i, count - i);
}

template <class Kernel, class S, class D>
void Dispatch(D* dst, const S* src, size_t count) {
  if (GetCpuFeatures().sse2) VectorSpan<Kernel>(dst, src, count);
  else ElementLoop(dst, src, count);
}

}  // namespace

void ConvertElementSpan(uint8_t* dst, const uint8_t* src, size_t count) { CopyBytes(dst, src, count); }
void ConvertElementSpan(float* dst, const uint8_t* src, size_t count) { Dispatch<ByteToFloat>(dst, src, count); }
void ConvertElementSpan(uint16_t* dst, const uint8_t* src, size_t count) { ElementLoop(dst, src, count); }
void ConvertElementSpan(uint8_t* dst, const float* src, size_t count) { Dispatch<FloatToByte>(dst, src, count); }
void ConvertElementSpan(float* dst, const float* src, size_t count) { CopyBytes(dst, src, count * sizeof(float)); }
void ConvertElementSpan(uint16_t* dst, const float* src, size_t count) { Dispatch<FloatToShort>(dst, src, count); }
void ConvertElementSpan(float* dst, const int32_t* src, size_t count) { ElementLoop(dst, src, count); }
void ConvertElementSpan(uint8_t* dst, const uint16_t* src, size_t count) { ElementLoop(dst, src, count); }
void ConvertElementSpan(float* dst, const uint16_t* src, size_t count) { Dispatch<ShortToFloat>(dst, src, count); }
void ConvertElementSpan(uint16_t* dst, const uint16_t* src, size_t count) {
  CopyBytes(dst, src, count * sizeof(uint16_t));
}

}  // namespace ko
