// TIFF files through libtiff, from a memory buffer: the first page (directory 0) only,
// strips or tiles, contiguous or separate planes, with libtiff's decompressors. Pixels
// come in stored row order (an Orientation tag is a property item, not a flip).
//
// Reported formats, for unsigned samples: grey (MinIsBlack, or MinIsWhite with inverted
// values) of 1, 2, 4 or 8 bits as 1/4/8bppIndexed with a grey palette (the identity for
// 8-bit MinIsBlack), 16-bit grey as 16bppGrayScale; palette images of 1 to 8 bits as
// 1/4/8bppIndexed with their colour map (16-bit map entries rounded to 8 bits, or taken as
// they are when all are below 256, as old writers stored them); RGB as 24bppRGB or
// 48bppRGB; CMYK (InkSet CMYK) converted to 24bppRGB or 48bppRGB as R = (max - C)(max - K)
// / max rounded; JPEG-compressed YCbCr as 24bppRGB. A first extra sample marked as alpha
// (associated alpha is un-premultiplied) makes grey, RGB and CMYK 32bppARGB (64bppARGB at
// 16 bits). Other kinds libtiff's RGBA reader understands (subsampled YCbCr, CIE L*a*b,
// LogLuv, ...) come as 24bppRGB, or 32bppARGB with alpha; anything else is
// UnknownImageFormat. Property items: the TIFF tags of the first page with its Exif, GPS
// and Interoperability directories.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

GpStatus ReadTiffHeader(const uint8_t* data, size_t size, CodecImage* image);
GpStatus DecodeTiffPixels(const uint8_t* data, size_t size, CodecImage* image);

}  // namespace ko
