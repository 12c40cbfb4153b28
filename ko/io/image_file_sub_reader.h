// The base of every image-file reader: what the file is, its name and size, and the
// metadata gathered when it was opened. Open reads the header; ReadInto the pixels.
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/core/params.h"

namespace ko {

class CImageFileSubReader {
 public:
  CImageFileSubReader() = default;
  virtual ~CImageFileSubReader();
  CImageFileSubReader(const CImageFileSubReader&) = delete;
  CImageFileSubReader& operator=(const CImageFileSubReader&) = delete;

  // Stores a copy of the name; every reader calls this first.
  virtual HRESULT Open(const char16_t* name);
  virtual HRESULT ReadInto(CImg* image, int32_t flags) = 0;

  int32_t sourceElementType = 0;  // 1 byte, 4 unsigned 16-bit, 0 unknown
  int32_t sourceBands = 0;
  int32_t sourceFormatFlags = 0;  // 0x10000 colour; 1 for 1- and 4-bit indexed files
  char16_t* fileName = nullptr;   // owned
  int32_t width = 0;
  int32_t height = 0;
  CParams metadata;
};

// Gives `image` the file's size, keeping the caller's type and bands where it has them.
HRESULT EnsureImageSize(int32_t width, int32_t height, CImg* image, int32_t defaultType, int32_t defaultBands);

}  // namespace ko
