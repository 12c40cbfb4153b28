// Encoders for the formats the codec layer reads, on the same Debian libraries: tests,
// benchmarks and fuzz seeds make their images with them, so that no image file of unknown
// origin is needed. Not used by the program itself. Every writer returns false on any
// failure (the libraries' errors are caught; nothing prints).
//
// Sample rows are given in the file's own channel order (R, G, B, A; C, M, Y, K), one
// sample per byte for bit depths up to 8 and one host-order uint16 per sample at 16 bits;
// the writers pack and byte-swap as the format needs.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

struct PngText {
  const char* keyword;
  const char* text;
  int compression;  // -1 tEXt, 0 zTXt, 1 iTXt uncompressed, 2 iTXt compressed
};

struct PngWriteOptions {
  int colorType = 2;  // 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  int bitDepth = 8;
  bool interlaced = false;
  const uint8_t* palette = nullptr;  // RGB triples
  int paletteCount = 0;
  const uint8_t* paletteAlpha = nullptr;  // tRNS of a palette image
  int paletteAlphaCount = 0;
  int transparentGrey = -1;             // tRNS of a grey image
  const uint16_t* transparentRgb = nullptr;  // tRNS of an RGB image: 3 values
  uint32_t gamma = 0;                   // gAMA x 100000, 0 none
  const uint32_t* chromaticities = nullptr;  // cHRM: 8 values x 100000
  bool physical = false;
  uint32_t pixelsPerUnitX = 0, pixelsPerUnitY = 0;
  int physicalUnit = 1;
  bool time = false;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  const PngText* texts = nullptr;
  int textCount = 0;
  bool textAfterImage = false;  // tIME and texts after the image data
  const uint8_t* exif = nullptr;  // eXIf payload (a TIFF structure)
  uint32_t exifLength = 0;
  const uint8_t* iccProfile = nullptr;
  uint32_t iccLength = 0;
};

bool WritePng(const void* samples, uint32_t width, uint32_t height, size_t stride, const PngWriteOptions& options,
              CodecBuffer* out);

struct JpegWriteOptions {
  int components = 3;  // 1 grey, 3 RGB (stored as YCbCr), 4 CMYK
  int quality = 90;
  bool progressive = false;
  bool adobeMarker = true;  // CMYK only: libjpeg's Adobe marker (inverted CMYK convention)
  int restartInterval = 0;
  const uint8_t* app1 = nullptr;  // written as an APP1 segment (e.g. "Exif\0\0" + TIFF)
  uint32_t app1Length = 0;
};

bool WriteJpeg(const uint8_t* samples, uint32_t width, uint32_t height, size_t stride, const JpegWriteOptions& options,
               CodecBuffer* out);

struct GifFrame {
  const uint8_t* indices = nullptr;  // width x height bytes
  uint32_t left = 0, top = 0, width = 0, height = 0;
  const uint8_t* palette = nullptr;  // local colour table, RGB triples
  int paletteCount = 0;              // a power of two, 0 for none
  int transparent = -1;
  bool interlaced = false;
  int delay = 0;
};

struct GifWriteOptions {
  uint32_t screenWidth = 0, screenHeight = 0;
  const uint8_t* palette = nullptr;  // global colour table, RGB triples
  int paletteCount = 0;              // a power of two, 0 for none
  int background = 0;
  bool loop = false;  // NETSCAPE2.0 application extension
};

bool WriteGif(const GifFrame* frames, int frameCount, const GifWriteOptions& options, CodecBuffer* out);

struct TiffPage {
  const void* samples = nullptr;  // interleaved rows, `stride` bytes apart
  size_t stride = 0;
  uint32_t width = 0, height = 0;
  int samplesPerPixel = 1;
  int bitsPerSample = 8;
  int photometric = 1;       // 0 MinIsWhite, 1 MinIsBlack, 2 RGB, 3 palette, 5 CMYK, 6 YCbCr (JPEG only), 8 CIE L*a*b*
  int compression = 1;       // 1 none, 5 LZW, 7 JPEG, 8 deflate, 32773 PackBits
  int planar = 1;            // 1 contiguous, 2 separate
  uint32_t rowsPerStrip = 0; // 0: libtiff's default
  uint32_t tileWidth = 0, tileHeight = 0;  // multiples of 16 for tiles
  int extraSample = -1;      // ExtraSamples[0] when samplesPerPixel has one more: 0, 1 (assoc.), 2 (unassoc.)
  const uint16_t* colormap = nullptr;  // 3 x 2^bits entries: reds, greens, blues
  int orientation = 0;       // 0 no tag
  int sampleFormat = 0;      // 0 no tag, 1 uint, 3 IEEE float
  const char* description = nullptr;
  const char* artist = nullptr;
  float xResolution = 0;     // 0 no tag
};

bool WriteTiff(const TiffPage* pages, int pageCount, bool bigEndian, CodecBuffer* out);

}  // namespace ko
