#include "ko/convert/strided_gray.h"

#include <cstring>

#include "ko/convert/luma.h"

namespace ko {
namespace {

template <class T>
inline double Sample(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return static_cast<double>(v);
}

template <class T>
void ColorRows(const SStridedPixels& in, int32_t red, int32_t green, int32_t blue, float* out, ptrdiff_t outStride) {
  const ptrdiff_t r = red * in.bandStride, g = green * in.bandStride, b = blue * in.bandStride;
  for (int32_t y = 0; y < in.height; ++y) {
    const uint8_t* p = in.base + y * in.rowStride;
    float* o = out + y * outStride;
    for (int32_t x = 0; x < in.width; ++x, p += in.pixelStride)
      o[x] = Luma(Sample<T>(p + r), Sample<T>(p + g), Sample<T>(p + b));
  }
}

template <class T>
void GrayRows(const SStridedPixels& in, float* out, ptrdiff_t outStride) {
  for (int32_t y = 0; y < in.height; ++y) {
    const uint8_t* p = in.base + y * in.rowStride;
    float* o = out + y * outStride;
    for (int32_t x = 0; x < in.width; ++x, p += in.pixelStride) o[x] = static_cast<float>(Sample<T>(p));
  }
}

}  // namespace

HRESULT StridedColorToGray(const SStridedPixels& in, int32_t red, int32_t green, int32_t blue, float* out,
                           ptrdiff_t outStride) {
  if (in.width < 0 || in.height < 0 || red < 0 || green < 0 || blue < 0 || (!in.base && in.width * in.height > 0))
    return E_INVALIDARG;
  switch (in.element) {
    case EStridedElement::kByte: ColorRows<uint8_t>(in, red, green, blue, out, outStride); break;
    case EStridedElement::kShort: ColorRows<uint16_t>(in, red, green, blue, out, outStride); break;
    case EStridedElement::kFloat: ColorRows<float>(in, red, green, blue, out, outStride); break;
  }
  return S_OK;
}

HRESULT StridedGrayToFloat(const SStridedPixels& in, float* out, ptrdiff_t outStride) {
  if (in.width < 0 || in.height < 0 || (!in.base && in.width * in.height > 0)) return E_INVALIDARG;
  switch (in.element) {
    case EStridedElement::kByte: GrayRows<uint8_t>(in, out, outStride); break;
    case EStridedElement::kShort: GrayRows<uint16_t>(in, out, outStride); break;
    case EStridedElement::kFloat: GrayRows<float>(in, out, outStride); break;
  }
  return S_OK;
}

}  // namespace ko
