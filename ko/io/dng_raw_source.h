// The raw samples of a DNG's main image, however the file stores them:
// - in strips (RowsPerStrip, StripOffsets, StripByteCounts; the last strip holds the rows
//   that are left) or in tiles (TileWidth, TileLength, TileOffsets, TileByteCounts; tiles at
//   the right and bottom edges reach past the image and are stored whole);
// - uncompressed (Compression 1), 8 to 16 bits a sample, packed most significant bit first
//   with each row starting on a byte boundary, 16-bit samples in the file's byte order; or
//   lossless JPEG (Compression 7), one frame per strip or tile whose samples fill it in
//   raster order, whatever the frame's shape.
//
// ReadRawLayout reads and checks the layout before anything is allocated: the variant, the
// geometry with overflow-safe arithmetic, and every strip or tile against the file (a piece
// too short for its samples, uncompressed at their bit depth or one bit a sample at the
// least in lossless JPEG, is refused). ReadRawSamples then decodes every piece into the raw
// image, after asking the image-size gate.
//
// Refused with E_NOTIMPL: lossy JPEG (Compression 34892), deflate (8 and 32946) and other
// compressions, floating-point or signed samples, linear (demosaiced) DNGs, more than one
// sample per pixel, samples of fewer than 8 or more than 16 bits, and lossless JPEG the
// decoder does not take. Corrupt or cut data is E_FAIL (a stream) or E_UNEXPECTED (a piece
// beyond the file or too short); a malformed layout E_KO_BADFORMAT. Each of these leaves
// its words for the caller (ko/io/image_read_reason.h) where the code alone would not say
// what was met.
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/core/params.h"
#include "ko/platform/ko_buffer.h"

namespace ko::dng {

struct SRawLayout {
  int32_t width = 0;
  int32_t height = 0;
  int32_t compression = 1;  // 1 uncompressed, 7 lossless JPEG
  int32_t bits = 16;        // bits per stored sample (uncompressed)
  bool bigEndian = false;   // the file's byte order, which 16-bit samples follow
  bool tiled = false;
  int64_t pieceWidth = 0;   // a tile's width, or the image's for strips
  int64_t pieceLength = 0;  // a tile's length, or the rows of a strip
  int64_t across = 0;       // pieces in a row of pieces (1 for strips)
  int64_t down = 0;         // rows of pieces
  CKoBuffer<uint32_t> offsets;     // one per piece, row of pieces after row of pieces
  CKoBuffer<uint32_t> byteCounts;

  int64_t Pieces() const { return across * down; }
  // Rows of piece row `r` that are stored: a tile's whole length, a strip's rows.
  int64_t StoredRows(int64_t r) const;
};

// Reads the layout of the width x height raw image described by `set`, in a file of
// `fileBytes` bytes in the given byte order.
HRESULT ReadRawLayout(const CParams& set, int32_t width, int32_t height, bool bigEndian, uint64_t fileBytes,
                      SRawLayout* layout);

// Creates `raw` (one band of width x height samples) and decodes every strip or tile of the
// file's bytes into it. `valueLimit` receives the number of stored values the samples can
// take: 2^bits uncompressed, 2^P for lossless JPEG frames of precision P (the largest).
HRESULT ReadRawSamples(const SRawLayout& layout, const uint8_t* file, size_t fileBytes,
                       CTypedImg<unsigned short>* raw, uint32_t* valueLimit);

}  // namespace ko::dng
