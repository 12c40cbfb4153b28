// GIF files through giflib, from a memory buffer: the first image of the file only (an
// animation gives its first frame), reported as 8bppIndexed.
//
// The image is the logical screen, enlarged when the first frame reaches beyond it. The
// palette is the frame's local colour table, else the global one, else a 256-entry grey
// ramp; the frame's transparent index (from the graphic control extension before it) gets
// alpha 0, and a transparent index beyond the table extends the palette to reach it.
// Pixels outside the frame take the transparent index when there is one, otherwise the
// background index. Interlaced frames are put back in row order. No property items.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

GpStatus ReadGifHeader(const uint8_t* data, size_t size, CodecImage* image);
GpStatus DecodeGifPixels(const uint8_t* data, size_t size, CodecImage* image);

}  // namespace ko
