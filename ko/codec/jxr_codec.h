// HD Photo (JPEG XR in its TIFF-like container) through jxrlib, behind an interface of our
// own: jxrlib's headers define Windows names of their own and are seen by jxr_codec.cpp
// only. Pixel-format identifiers are jxrlib's, which are the platform's.
//
// jxrlib trusts its input: it asserts, and prints to standard error, on container fields
// it does not like. Before a file reaches it, its container is checked here (the header,
// the directory and every entry inside the file, the image and alpha data inside the
// file, the orientation in range), and entries the decode does not need (descriptive and
// EXIF/GPS/XMP metadata, resolution) are neutralised in our private copy of the bytes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"
#include "ko/platform/guid.h"

namespace ko {

enum class JxrStatus { Ok, BadHeader, BadImage, TooLarge, OutOfMemory, Unsupported };

struct JxrInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  GUID pixelFormat{};
  uint32_t bitsPerPixel = 0;  // 0 when jxrlib cannot output this format
  uint32_t frameCount = 0;
};

// A checked private copy of an HD Photo file, decodable any number of times.
class JxrFile {
 public:
  JxrFile() = default;
  JxrFile(const JxrFile&) = delete;
  JxrFile& operator=(const JxrFile&) = delete;

  // Copies and checks the container, then reads the image header.
  JxrStatus Open(const uint8_t* data, size_t size);
  const JxrInfo& info() const { return info_; }
  // Bytes of one output row: ceil(width * bits per pixel / 8).
  size_t RowBytes() const;
  // The whole frame, rows `stride` apart (stride >= RowBytes()), into `out` of `outSize`
  // bytes (at least stride * height).
  JxrStatus Decode(uint8_t* out, size_t stride, size_t outSize) const;

 private:
  CodecBuffer bytes_;
  JxrInfo info_;
};

// True when the first bytes are an HD Photo container's ("II", 0xBC, version 0 or 1).
bool IsJxrSignature(const uint8_t* data, size_t size);

// Encodes pixels of one of the formats jxrlib writes (tests and benchmarks):
// `quality` 1 is lossless; `planarAlpha` stores alpha as a separate plane.
JxrStatus EncodeJxr(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride, const GUID& format,
                    int quality, CodecBuffer* out);

}  // namespace ko
