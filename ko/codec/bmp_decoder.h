// Our own decoder of Windows bitmap files: the core (12-byte), info (40-byte), V2/V3
// (52/56-byte), V4 (108-byte) and V5 (124-byte) headers; 1-, 4-, 8-, 16-, 24- and 32-bit
// pixels; uncompressed, RLE8, RLE4 and bit-field (BI_BITFIELDS, BI_ALPHABITFIELDS) data;
// bottom-up and top-down rows. Every read is bounded by the buffer.
//
// Reported formats: 1, 4 and 8 bits as 1/4/8bppIndexed with the file's palette (opaque:
// the fourth palette byte is reserved); 16 bits as 16bppARGB1555 when an alpha mask is
// given, 16bppRGB565 for the 5-6-5 masks, 16bppRGB555 otherwise (the pixels are read
// through the file's masks whatever they are); 24 bits as 24bppRGB; 32 bits as 32bppARGB
// when an alpha mask is given, 32bppRGB otherwise. Pixels that RLE data leaves unwritten
// (delta moves, early end of line or file) are index 0.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

// Size, format, palette and masks. UnknownImageFormat for an unreadable or unsupported
// header (JPEG/PNG-in-BMP, OS/2 Huffman or RLE24) or a palette cut off by the file's end.
GpStatus ReadBmpHeader(const uint8_t* data, size_t size, CodecImage* image);
// The pixels, after ReadBmpHeader on the same bytes. GenericError when uncompressed data is
// cut short.
GpStatus DecodeBmpPixels(const uint8_t* data, size_t size, CodecImage* image);

}  // namespace ko
