// JPEG files through libjpeg-turbo, from a memory buffer, with the library's default
// decoding (accurate integer IDCT, fancy upsampling): the pixels other Linux tools show.
// Pixels come as stored; an EXIF Orientation is a property item, not a rotation.
//
// Reported formats: one component as 8bppIndexed with the identity grey palette; YCbCr
// and RGB as 24bppRGB; CMYK and YCCK converted to 24bppRGB as R = (255 - C)(255 - K) / 255
// rounded (G from M, B from Y), with the inverted samples that Adobe-marked files store
// taken as such (R = C K / 255). Property items: the EXIF tags of the first APP1 "Exif"
// segment. A file cut short, or with more than kMaxJpegScans scans, fails to decode.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

constexpr int kMaxJpegScans = 1000;

GpStatus ReadJpegHeader(const uint8_t* data, size_t size, CodecImage* image);
GpStatus DecodeJpegPixels(const uint8_t* data, size_t size, CodecImage* image);

}  // namespace ko
