// Reader of HD Photo files (.wdp) through the platform imaging component.
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/core/params.h"

namespace ko {

class CWicImageReader {
 public:
  CWicImageReader() = default;
  ~CWicImageReader();
  CWicImageReader(const CWicImageReader&) = delete;
  CWicImageReader& operator=(const CWicImageReader&) = delete;

  HRESULT Open(const char16_t* name);
  HRESULT ReadInto(CImg* image);

  int32_t width = 0;
  int32_t height = 0;
  uint32_t frameCount = 0;
  CParams params;
};

}  // namespace ko
