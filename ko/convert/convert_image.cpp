#include "ko/convert/convert_image.h"

#include "ko/convert/band_layout.h"
#include "ko/convert/element_rules.h"
#include "ko/convert/element_span.h"

namespace ko {

template <class S, class D>
HRESULT ConvertImagePair(const CImg& src, CImg& dst) {
  // Rows are walked as S and D elements: an image of another element type (or a type word
  // that disagrees with its element size) would be read or written past its rows.
  if (!HoldsElements<S>(src) || !HoldsElements<D>(dst)) return E_INVALIDARG;
  if (!src.HasMemory() || !dst.HasMemory()) return E_INVALIDARG;
  if (src.width != dst.width || src.height != dst.height) return E_INVALIDARG;
  if (src.bands == dst.bands) {
    const int64_t count = static_cast<int64_t>(src.width) * src.bands;
    if (count <= 0) return S_OK;
    for (int32_t y = 0; y < src.height; ++y) {
      ConvertElementSpan(reinterpret_cast<D*>(dst.RowPtr(y)), reinterpret_cast<const S*>(src.RowPtr(y)),
                         static_cast<size_t>(count));
    }
    return S_OK;
  }
  if ((src.bands == 3 || src.bands == 4) && dst.bands == 1) return ConvertColorToGray<S, D>(src, dst);
  if (src.bands == 1 && (dst.bands == 3 || dst.bands == 4)) return ConvertGrayToColor<S, D>(src, dst);
  if (src.bands == 3 && dst.bands == 4) return ConvertRGBToRGBA<S, D>(src, dst, 255);
  if (src.bands == 4 && dst.bands == 3) return ConvertRGBAToRGB<S, D>(src, dst);
  return E_NOTIMPL;
}

template HRESULT ConvertImagePair<uint8_t, uint8_t>(const CImg&, CImg&);
template HRESULT ConvertImagePair<uint8_t, float>(const CImg&, CImg&);
template HRESULT ConvertImagePair<uint8_t, uint16_t>(const CImg&, CImg&);
template HRESULT ConvertImagePair<float, uint8_t>(const CImg&, CImg&);
template HRESULT ConvertImagePair<float, float>(const CImg&, CImg&);
template HRESULT ConvertImagePair<float, uint16_t>(const CImg&, CImg&);
template HRESULT ConvertImagePair<int32_t, float>(const CImg&, CImg&);
template HRESULT ConvertImagePair<uint16_t, uint8_t>(const CImg&, CImg&);
template HRESULT ConvertImagePair<uint16_t, float>(const CImg&, CImg&);
template HRESULT ConvertImagePair<uint16_t, uint16_t>(const CImg&, CImg&);

HRESULT ConvertImage(const CImg& src, CImg& dst) {
  const int32_t s = ElementTypeOf(src.type);
  const int32_t d = ElementTypeOf(dst.type);
  switch (s) {
    case kElemByte:
      if (d == kElemByte) return ConvertImagePair<uint8_t, uint8_t>(src, dst);
      if (d == kElemFloat) return ConvertImagePair<uint8_t, float>(src, dst);
      if (d == kElemShort) return ConvertImagePair<uint8_t, uint16_t>(src, dst);
      break;
    case kElemFloat:
      if (d == kElemByte) return ConvertImagePair<float, uint8_t>(src, dst);
      if (d == kElemFloat) return ConvertImagePair<float, float>(src, dst);
      if (d == kElemShort) return ConvertImagePair<float, uint16_t>(src, dst);
      break;
    case kElemInt:
      if (d == kElemFloat) return ConvertImagePair<int32_t, float>(src, dst);
      break;
    case kElemShort:
      if (d == kElemByte) return ConvertImagePair<uint16_t, uint8_t>(src, dst);
      if (d == kElemFloat) return ConvertImagePair<uint16_t, float>(src, dst);
      if (d == kElemShort) return ConvertImagePair<uint16_t, uint16_t>(src, dst);
      break;
    default:
      break;
  }
  return E_INVALIDARG;
}

}  // namespace ko
