// PNG files through libpng, from a memory buffer. Samples come as stored (no gamma or
// colour correction).
//
// Reported formats: palette images as 1bppIndexed (1 bit), 4bppIndexed (2 and 4 bits) or
// 8bppIndexed with the PLTE entries, tRNS giving their alpha; grey of 1, 2 or 4 bits as
// 1/4bppIndexed with an even grey ramp (0, 85, 170, 255 for 2 bits); 8-bit grey as
// 8bppIndexed with the identity grey palette; a grey tRNS colour makes that palette entry
// transparent. 16-bit grey is 16bppGrayScale (64bppARGB with tRNS); grey+alpha and RGBA
// are 32bppARGB (64bppARGB at 16 bits); RGB is 24bppRGB (48bppRGB at 16 bits), or the
// alpha formats when tRNS names a transparent colour. Interlaced files are de-interlaced.
//
// Property items, in file order: gAMA as Gamma (0x0301, rational 100000/gAMA), cHRM as
// WhitePoint (0x013E) and PrimaryChromaticities (0x013F), pHYs as PixelUnit (0x5110),
// PixelPerUnitX/Y (0x5111, 0x5112), tIME as DateTime (0x0132, "YYYY:MM:DD HH:MM:SS"), the
// tEXt, zTXt and iTXt keywords Title (0x0320), Author (0x013B), Description (0x010E),
// Copyright (0x8298) and Software (0x0131) as ASCII items, iCCP as ICCProfile (0x8773) and
// an eXIf chunk's EXIF tags.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

GpStatus ReadPngHeader(const uint8_t* data, size_t size, CodecImage* image);
GpStatus DecodePngPixels(const uint8_t* data, size_t size, CodecImage* image);

}  // namespace ko
