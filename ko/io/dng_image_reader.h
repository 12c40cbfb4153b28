// Reader of DNG raw camera files: develops the mosaic into an sRGB colour image.
#pragma once
#include <cstdint>

#include "ko/core/img.h"

namespace ko {

class CDngImageReader {
 public:
  CDngImageReader() = default;
  ~CDngImageReader();
  CDngImageReader(const CDngImageReader&) = delete;
  CDngImageReader& operator=(const CDngImageReader&) = delete;

  HRESULT Open(const char16_t* name);
  HRESULT ReadInto(CImg* image);

  int32_t outputWidth = 0;
  int32_t outputHeight = 0;
  float exposure = 1.0f;
};

}  // namespace ko
