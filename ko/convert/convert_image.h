// Whole-image conversion between element types and band layouts. The destination must
// already exist with the type and bands wanted; a conversion never allocates or retypes.
#pragma once
#include "ko/core/img.h"

namespace ko {

HRESULT ConvertImage(const CImg& src, CImg& dst);

// One instance per supported pair of element types (S, D among unsigned char, float,
// int32_t, unsigned short); a direct call behaves as ConvertImage for that pair.
template <class S, class D>
HRESULT ConvertImagePair(const CImg& src, CImg& dst);

}  // namespace ko
