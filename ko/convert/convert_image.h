// Whole-image conversion between element types and band layouts. The destination must
// already exist with the type and bands wanted; a conversion never allocates or retypes.
#pragma once
#include "ko/core/img.h"

namespace ko {

// Dispatches on the element type codes of the two type words (the layout bits play no
// part). E_INVALIDARG for a pair of element types that does not convert (see below),
// whatever the images hold; otherwise the result of ConvertImagePair for the pair.
HRESULT ConvertImage(const CImg& src, CImg& dst);

// One instance per supported pair of element types (S, D): unsigned char, float and
// unsigned short into each other, and int32_t into float. A direct call behaves as
// ConvertImage for that pair; images whose element type or size is not S or D are refused
// with E_INVALIDARG.
//   E_INVALIDARG: an image without memory, or different widths or heights.
//   Equal band counts: element for element (byte and 16-bit scaled by 256).
//   3 or 4 bands -> 1, 1 -> 3 or 4, 3 -> 4 (alpha 255), 4 -> 3: the band-layout converters.
//   E_NOTIMPL: any other pair of band counts.
// Bytes of a row beyond its width x bands elements are never read or written.
template <class S, class D>
HRESULT ConvertImagePair(const CImg& src, CImg& dst);

}  // namespace ko
