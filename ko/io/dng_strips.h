// The raw samples of a DNG's main image as this reader takes them: uncompressed 16-bit
// little-endian samples, one per pixel, in strips (RowsPerStrip, StripOffsets,
// StripByteCounts). CheckStrips runs before anything is allocated; ReadStrips then reads
// the samples. Other layouts (tiles, compressed or packed samples, big-endian files) are
// refused before either is called.
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/core/params.h"
#include "ko/codec/wic_metadata.h"

namespace ko::dng {

// Checks the strips of a width x height raw image described by `set` against a file of
// `fileBytes` bytes: E_KO_BADFORMAT without RowsPerStrip (or with 0), or with too few
// strip offsets or byte counts; E_UNEXPECTED for a strip too short for its rows or
// reaching beyond the file.
HRESULT CheckStrips(const CParams& set, int32_t width, int32_t height, uint64_t fileBytes);

// Creates `raw` (1 band of width x height samples) and reads the strips from `stream`
// into it. A strip the stream cannot deliver in full is E_UNEXPECTED.
HRESULT ReadStrips(const CParams& set, int32_t width, int32_t height, CWicStream* stream,
                   CTypedImg<unsigned short>* raw);

}  // namespace ko::dng
