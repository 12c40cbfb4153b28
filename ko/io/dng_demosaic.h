// The DNG reader's demosaic of a Bayer mosaic: which of the four Bayer layouts a crop
// window starts on, and an edge-directed 5 x 5 interpolation of 16-bit samples that works
// on 2 x 2 quads in integer arithmetic (each quad reads the 6 x 6 samples around it).
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/platform/rect.h"

namespace ko {

// Bayer phases: the colours of the top-left 2 x 2 quad of the crop window.
enum DngBayerPhase : int32_t {
  kBayerRGGB = 0,
  kBayerGRBG = 1,
  kBayerGBRG = 2,
  kBayerBGGR = 3,
};

// TIFF/EP CFA colour codes: 0 red, 1 green, 2 blue. The phase of the crop window whose
// origin lies (dx, dy) from the active area's origin; -1 for a pattern that is not one
// of the four Bayer layouts (callers then use phase 0).
int32_t DngBayerPhaseOf(const uint8_t pattern[4], int64_t dx, int64_t dy);

// The edge-directed 5 x 5 demosaic of `window` of the 1-band 16-bit `raw` image into
// `out` (16-bit elements, 3 or 4 bands, window-sized; nothing is done otherwise or when
// the window is less than 2 rows high). Quads of 2 x 2 are filled; an odd last row or
// column is left as it was. Neighbours outside the raw image are read from the nearest
// raw row and column. Bands are stored blue, green, red; a fourth band is not written.
void DemosaicBayer(const CTypedImg<unsigned short>& raw, const RECT& window, int32_t phase, CImg* out);

}  // namespace ko
