// A bounded parser of TIFF image file directories (IFDs): the file header, the chain of
// directories, and the directories nested under SubIFDs (330), Exif (34665), GPS (34853)
// and Interoperability (40965) pointers. Used for the metadata of TIFF, DNG and the EXIF
// block of JPEG and PNG files. It never reads outside the buffer, caps entry counts and
// nesting, and detects directory loops.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ko/platform/hresult.h"

namespace ko {

// TIFF field types.
enum TiffType : uint16_t {
  kTiffByte = 1, kTiffAscii = 2, kTiffShort = 3, kTiffLong = 4, kTiffRational = 5,
  kTiffSByte = 6, kTiffUndefined = 7, kTiffSShort = 8, kTiffSLong = 9, kTiffSRational = 10,
  kTiffFloat = 11, kTiffDouble = 12, kTiffIfd = 13,
};

// Bytes per element of a field type; 0 for an unknown type.
uint32_t TiffTypeSize(uint16_t type);

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  // The value's bytes converted to little-endian element by element (rationals as two
  // 32-bit halves, numerator first): count x TiffTypeSize(type) bytes.
  std::vector<uint8_t> value;
};

struct TiffDirectory {
  uint64_t offset = 0;  // where the directory starts in the buffer
  std::vector<TiffEntry> entries;
  // Directories a pointer tag of this directory leads to, in the order of the pointers.
  std::vector<TiffDirectory> subIfds;     // tag 330
  std::vector<TiffDirectory> exifIfd;     // tag 34665 (at most one)
  std::vector<TiffDirectory> gpsIfd;      // tag 34853 (at most one)
  std::vector<TiffDirectory> interopIfd;  // tag 40965, inside the Exif directory

  const TiffEntry* Find(uint16_t tag) const;
};

struct TiffLimits {
  uint32_t maxDirectories = 64;       // in all, nested ones included
  uint32_t maxEntriesPerDirectory = 1024;
  uint32_t maxNesting = 4;
  uint64_t maxValueBytes = 64u << 20; // summed over all entries
};

struct TiffFile {
  bool littleEndian = true;
  std::vector<TiffDirectory> chain;  // IFD0, IFD1, ...
};

// Parses a whole TIFF structure held in memory (a TIFF or DNG file, or an EXIF block
// after its "Exif\0\0" prefix). E_KO_BADFORMAT for anything malformed: a bad header,
// an offset or count outside the buffer, a loop, a limit exceeded.
HRESULT ParseTiff(const uint8_t* data, size_t size, TiffFile* out, const TiffLimits& limits = TiffLimits());

// Parses the one directory at `offset` (not the chain after it) with everything nested
// under its pointer tags, in the given byte order; the same checks and codes as ParseTiff.
HRESULT ParseTiffDirectory(const uint8_t* data, size_t size, uint64_t offset, bool littleEndian,
                           TiffDirectory* out, const TiffLimits& limits = TiffLimits());

}  // namespace ko
