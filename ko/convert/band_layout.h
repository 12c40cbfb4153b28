// Converters that change the band layout while converting the element type: colour
// (3 or 4 bands, blue, green, red, alpha) to gray, gray to colour, 3 bands to 4 and back.
// One instance per supported pair of element types (S, D): byte, float and 16-bit among
// themselves, and int to float. Each returns S_OK or E_INVALIDARG; an image whose element
// type or element size is not the instance's is refused with E_INVALIDARG.
#pragma once
#include <cstdint>

#include "ko/core/img.h"

namespace ko {

// gray = red x 0.299f + green x 0.587f + blue x 0.114f in double, in that order, rounded to
// float and stored by the destination's rule (float as is, byte and 16-bit clamped and
// rounded). No range scaling, alpha never read. Covers the top-left part that both images
// have; memory and equal sizes are the caller's checks.
template <class S, class D>
HRESULT ConvertColorToGray(const CImg& src, CImg& dst);

// The one layout change that rescales: byte and 16-bit gray become float colour in 0..1,
// float gray counts as 0..1 on the way to byte or 16-bit. Alpha is the destination's full
// scale (255, 65535), 255.0 for float. Covers the top-left part that both images have.
template <class S, class D>
HRESULT ConvertGrayToColor(const CImg& src, CImg& dst);

// Values are kept (byte and 16-bit included, no rescaling); band 3 receives `alpha` by
// value. Both images need memory and equal sizes.
template <class S, class D>
HRESULT ConvertRGBToRGBA(const CImg& src, CImg& dst, int32_t alpha);

// Values are kept as for ConvertRGBToRGBA; the source's band 3 is not read.
template <class S, class D>
HRESULT ConvertRGBAToRGB(const CImg& src, CImg& dst);

}  // namespace ko
