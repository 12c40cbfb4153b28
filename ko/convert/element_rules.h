// How one value of one element type becomes a value of another. Every rounding is to the
// nearest integer with ties to even (the processor's default mode, which the library never
// changes); comparisons of float values are made on the value widened to double.
#pragma once
#include <cstdint>

#include "ko/core/img.h"

namespace ko {

// Rounds to the nearest integer, ties to even, for |x| < 2^52: adding and removing 2^52
// leaves no fraction bits, so the addition itself does the rounding in the current mode.
inline double RoundHalfEven(double x) {
  constexpr double kShift = 4503599627370496.0;  // 2^52
  return x >= 0.0 ? (x + kShift) - kShift : -((-x + kShift) - kShift);
}

// float -> byte: clamp to 0..255 first, then round; NaN gives 0.
inline uint8_t RoundFloatToByte(float x) {
  const double d = x;
  if (!(d >= 0.0)) return 0;  // negative or NaN
  if (d > 255.0) return 255;
  return static_cast<uint8_t>(RoundHalfEven(d));
}

// float -> 16-bit: clamp to 0..65535 first, then round; NaN gives 0.
inline uint16_t RoundFloatToShort(float x) {
  const double d = x;
  if (!(d >= 0.0)) return 0;
  if (d > 65535.0) return 65535;
  return static_cast<uint16_t>(RoundHalfEven(d));
}

// byte -> 16-bit by range: v x 256 (255 gives 65280, not 65535).
inline uint16_t ScaleByteToShort(uint8_t v) { return static_cast<uint16_t>(v << 8); }

// 16-bit -> byte by range: (v + 128) / 256 truncated, at most 255.
inline uint8_t ScaleShortToByte(uint16_t v) {
  const uint32_t r = (static_cast<uint32_t>(v) + 128) >> 8;
  return static_cast<uint8_t>(r > 255 ? 255 : r);
}

// 16-bit -> byte by value: values above 255 saturate.
inline uint8_t ClampShortToByte(uint16_t v) { return static_cast<uint8_t>(v > 255 ? 255 : v); }

// The rule of the equal-layout converters (element for element, byte and 16-bit scaled
// into each other's range). Defined for the ten supported pairs only.
template <class S, class D>
struct ElementRule;
template <> struct ElementRule<uint8_t, uint8_t> { static uint8_t Apply(uint8_t v) { return v; } };
template <> struct ElementRule<uint8_t, float> { static float Apply(uint8_t v) { return v; } };
template <> struct ElementRule<uint8_t, uint16_t> { static uint16_t Apply(uint8_t v) { return ScaleByteToShort(v); } };
template <> struct ElementRule<float, uint8_t> { static uint8_t Apply(float x) { return RoundFloatToByte(x); } };
template <> struct ElementRule<float, float> { static float Apply(float x) { return x; } };
template <> struct ElementRule<float, uint16_t> { static uint16_t Apply(float x) { return RoundFloatToShort(x); } };
template <> struct ElementRule<int32_t, float> { static float Apply(int32_t v) { return static_cast<float>(v); } };
template <> struct ElementRule<uint16_t, uint8_t> { static uint8_t Apply(uint16_t v) { return ScaleShortToByte(v); } };
template <> struct ElementRule<uint16_t, float> { static float Apply(uint16_t v) { return v; } };
template <> struct ElementRule<uint16_t, uint16_t> { static uint16_t Apply(uint16_t v) { return v; } };

// The rule of the 3-to-4 and 4-to-3 band converters: values are kept, byte and 16-bit
// included (255 stays 255; 16-bit values above 255 become 255 in a byte).
template <class S, class D>
struct ValueRule : ElementRule<S, D> {};
template <> struct ValueRule<uint8_t, uint16_t> { static uint16_t Apply(uint8_t v) { return v; } };
template <> struct ValueRule<uint16_t, uint8_t> { static uint8_t Apply(uint16_t v) { return ClampShortToByte(v); } };

// Stores a double-precision result (already a float value) in a destination element the
// way the colour-to-gray converter does.
template <class D>
D StoreGray(float y);
template <> inline float StoreGray<float>(float y) { return y; }
template <> inline uint8_t StoreGray<uint8_t>(float y) { return RoundFloatToByte(y); }
template <> inline uint16_t StoreGray<uint16_t>(float y) { return RoundFloatToShort(y); }

// True when the image's element type code and element size are those of T; rows of an
// image are only walked as T elements when this holds.
template <class T>
bool HoldsElements(const CImg& img) {
  return ElementTypeOf(img.type) == ElementTraits<T>::type && img.elementSize == static_cast<int32_t>(sizeof(T));
}

}  // namespace ko
