// Property items from TIFF-structured metadata (TIFF files, the EXIF block of JPEG and PNG
// files), through the shared TIFF-directory parser, flattened as the codec layer lists
// them: the first directory's entries, then those of its Exif, GPS and Interoperability
// directories. The thumbnail directory (IFD1), further pages and SubIFDs are not listed;
// a tag already listed keeps its first value.
//
// Field types become item types 1 to 10: SBYTE is listed as BYTE and SSHORT as SHORT (same
// bytes), FLOAT and DOUBLE as UNDEFINED bytes, IFD as LONG. Malformed metadata adds
// nothing: the image stays readable.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

// Ok, or OutOfMemory.
GpStatus AddTiffProperties(const uint8_t* data, size_t size, CodecPropertyList* list);

// Inflates a zlib stream of at most `cap` output bytes into `out`; false when the data is
// corrupt, longer than `cap`, or memory ran out (`outOfMemory` tells).
bool InflateBounded(const uint8_t* data, size_t size, size_t cap, CodecBuffer* out, bool* outOfMemory);

}  // namespace ko
