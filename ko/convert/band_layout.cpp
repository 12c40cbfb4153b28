#include "ko/convert/band_layout.h"

#include <emmintrin.h>

#include <algorithm>

#include "ko/convert/element_rules.h"
#include "ko/convert/luma.h"
#include "ko/platform/cpu_features.h"

namespace ko {
namespace {

// Gray-to-colour scale factors into 0..1: 1/255 and 1/65535 in single precision.
constexpr double kByteToUnit = 1.0f / 255.0f;
constexpr double kShortToUnit = 1.0f / 65535.0f;

template <class T>
const T* SrcRow(const CImg& img, int32_t y) {
  return reinterpret_cast<const T*>(img.RowPtr(y));
}
template <class T>
T* DstRow(CImg& img, int32_t y) {
  return reinterpret_cast<T*>(img.RowPtr(y));
}

// Gray to colour: the colour value of one gray value, and the alpha of a full-scale pixel.
template <class S, class D>
struct GrayToColorRule;
template <> struct GrayToColorRule<uint8_t, uint8_t> { static uint8_t Apply(uint8_t v) { return v; } };
template <> struct GrayToColorRule<uint8_t, float> {
  static float Apply(uint8_t v) { return static_cast<float>(v * kByteToUnit); }
};
template <> struct GrayToColorRule<uint8_t, uint16_t> { static uint16_t Apply(uint8_t v) { return ScaleByteToShort(v); } };
template <> struct GrayToColorRule<float, uint8_t> {
  static uint8_t Apply(float x) { return RoundFloatToByte(static_cast<float>(x * 255.0)); }
};
template <> struct GrayToColorRule<float, float> { static float Apply(float x) { return x; } };
template <> struct GrayToColorRule<float, uint16_t> {
  static uint16_t Apply(float x) { return RoundFloatToShort(static_cast<float>(x * 65535.0)); }
};
template <> struct GrayToColorRule<int32_t, float> { static float Apply(int32_t v) { return static_cast<float>(v); } };
template <> struct GrayToColorRule<uint16_t, uint8_t> { static uint8_t Apply(uint16_t v) { return ScaleShortToByte(v); } };
template <> struct GrayToColorRule<uint16_t, float> {
  static float Apply(uint16_t v) { return static_cast<float>(v * kShortToUnit); }
};
template <> struct GrayToColorRule<uint16_t, uint16_t> { static uint16_t Apply(uint16_t v) { return v; } };

template <class D> constexpr D kFullAlpha = D(0);
template <> constexpr uint8_t kFullAlpha<uint8_t> = 255;
template <> constexpr uint16_t kFullAlpha<uint16_t> = 65535;
template <> constexpr float kFullAlpha<float> = 255.0f;  // not 1.0: alpha keeps the byte scale

template <class S, class D>
void RGBToRGBARowScalar(D* d, const S* s, int32_t width, D alpha) {
  for (int32_t x = 0; x < width; ++x, d += 4, s += 3) {
    d[0] = ValueRule<S, D>::Apply(s[0]);
    d[1] = ValueRule<S, D>::Apply(s[1]);
    d[2] = ValueRule<S, D>::Apply(s[2]);
    d[3] = alpha;
  }
}

template <class S, class D>
void RGBToRGBARow(D* d, const S* s, int32_t width, D alpha) {
  RGBToRGBARowScalar(d, s, width, alpha);
}

// Bytes to bytes: once the destination is 16-aligned, four output pixels are built at a
// time from the 12 bytes at the source (loaded as 16, so only while 16 remain in the row).
template <>
void RGBToRGBARow<uint8_t, uint8_t>(uint8_t* d, const uint8_t* s, int32_t width, uint8_t alpha) {
  if (!GetCpuFeatures().sse2) {
    RGBToRGBARowScalar(d, s, width, alpha);
    return;
  }
  int32_t x = 0;
  while (x < width && (reinterpret_cast<uintptr_t>(d + 4 * x) & 15) != 0) {
    RGBToRGBARowScalar(d + 4 * x, s + 3 * x, 1, alpha);
    ++x;
  }
  const __m128i rgbMask = _mm_set1_epi32(0x00FFFFFF);
  const __m128i alphaBits = _mm_set1_epi32(static_cast<int>(static_cast<uint32_t>(alpha) << 24));
  for (; 3 * static_cast<int64_t>(width - x) >= 16; x += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * x));
    // Pixel k's three bytes start at byte 3k: shift each to the bottom and gather the
    // low 32-bit lanes.
    const __m128i p01 = _mm_unpacklo_epi32(v, _mm_srli_si128(v, 3));
    const __m128i p23 = _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9));
    const __m128i pixels = _mm_unpacklo_epi64(p01, p23);
    _mm_store_si128(reinterpret_cast<__m128i*>(d + 4 * x), _mm_or_si128(_mm_and_si128(pixels, rgbMask), alphaBits));
  }
  RGBToRGBARowScalar(d + 4 * x, s + 3 * x, width - x, alpha);
}

}  // namespace

template <class S, class D>
HRESULT ConvertColorToGray(const CImg& src, CImg& dst) {
  if ((src.bands != 3 && src.bands != 4) || dst.bands != 1) return E_INVALIDARG;
  if (!HoldsElements<S>(src) || !HoldsElements<D>(dst)) return E_INVALIDARG;
  const int32_t height = std::min(src.height, dst.height);
  const int32_t width = std::min(src.width, dst.width);
  const int32_t step = src.bands;
  for (int32_t y = 0; y < height; ++y) {
    const S* s = SrcRow<S>(src, y);
    D* d = DstRow<D>(dst, y);
    for (int32_t x = 0; x < width; ++x, s += step) {
      d[x] = StoreGray<D>(Luma(s[2], s[1], s[0]));
    }
  }
  return S_OK;
}

template <class S, class D>
HRESULT ConvertGrayToColor(const CImg& src, CImg& dst) {
  if ((dst.bands != 3 && dst.bands != 4) || src.bands != 1) return E_INVALIDARG;
  if (!HoldsElements<S>(src) || !HoldsElements<D>(dst)) return E_INVALIDARG;
  const int32_t height = std::min(src.height, dst.height);
  const int32_t width = std::min(src.width, dst.width);
  const int32_t step = dst.bands;
  const bool withAlpha = step == 4;
  for (int32_t y = 0; y < height; ++y) {
    const S* s = SrcRow<S>(src, y);
    D* d = DstRow<D>(dst, y);
    for (int32_t x = 0; x < width; ++x, d += step) {
      const D c = GrayToColorRule<S, D>::Apply(s[x]);
      d[0] = c;
      d[1] = c;
      d[2] = c;
      if (withAlpha) d[3] = kFullAlpha<D>;
    }
  }
  return S_OK;
}

template <class S, class D>
HRESULT ConvertRGBToRGBA(const CImg& src, CImg& dst, int32_t alpha) {
  if (!src.HasMemory() || !dst.HasMemory() || src.width != dst.width || src.height != dst.height ||
      src.bands != 3 || dst.bands != 4)
    return E_INVALIDARG;
  if (!HoldsElements<S>(src) || !HoldsElements<D>(dst)) return E_INVALIDARG;
  const D a = static_cast<D>(alpha);  // by value; callers pass 0..255
  for (int32_t y = 0; y < src.height; ++y) RGBToRGBARow<S, D>(DstRow<D>(dst, y), SrcRow<S>(src, y), src.width, a);
  return S_OK;
}

template <class S, class D>
HRESULT ConvertRGBAToRGB(const CImg& src, CImg& dst) {
  if (!src.HasMemory() || !dst.HasMemory() || src.width != dst.width || src.height != dst.height ||
      src.bands != 4 || dst.bands != 3)
    return E_INVALIDARG;
  if (!HoldsElements<S>(src) || !HoldsElements<D>(dst)) return E_INVALIDARG;
  for (int32_t y = 0; y < src.height; ++y) {
    const S* s = SrcRow<S>(src, y);
    D* d = DstRow<D>(dst, y);
    for (int32_t x = 0; x < src.width; ++x, s += 4, d += 3) {
      d[0] = ValueRule<S, D>::Apply(s[0]);
      d[1] = ValueRule<S, D>::Apply(s[1]);
      d[2] = ValueRule<S, D>::Apply(s[2]);
    }
  }
  return S_OK;
}

#define KO_BAND_LAYOUT_PAIR(S, D)                                                    \
  template HRESULT ConvertColorToGray<S, D>(const CImg&, CImg&);                     \
  template HRESULT ConvertGrayToColor<S, D>(const CImg&, CImg&);                     \
  template HRESULT ConvertRGBToRGBA<S, D>(const CImg&, CImg&, int32_t);              \
  template HRESULT ConvertRGBAToRGB<S, D>(const CImg&, CImg&);

KO_BAND_LAYOUT_PAIR(uint8_t, uint8_t)
KO_BAND_LAYOUT_PAIR(uint8_t, float)
KO_BAND_LAYOUT_PAIR(uint8_t, uint16_t)
KO_BAND_LAYOUT_PAIR(float, uint8_t)
KO_BAND_LAYOUT_PAIR(float, float)
KO_BAND_LAYOUT_PAIR(float, uint16_t)
KO_BAND_LAYOUT_PAIR(int32_t, float)
KO_BAND_LAYOUT_PAIR(uint16_t, uint8_t)
KO_BAND_LAYOUT_PAIR(uint16_t, float)
KO_BAND_LAYOUT_PAIR(uint16_t, uint16_t)
#undef KO_BAND_LAYOUT_PAIR

}  // namespace ko
