// Reader of HD Photo files (.wdp) through the platform imaging component
// (ko/codec/wic_decoder.h): the first frame, copied row by row straight into the
// caller's image when its element type and bands match the file's pixel format, otherwise
// through a one-row temporary image and the pixel conversion. RGB-ordered formats have red
// and blue exchanged into the library's blue-green-red order.
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/core/params.h"

namespace ko {

namespace wic {
class IWICBitmapFrameDecode;
}

class CWicImageReader {
 public:
  CWicImageReader() = default;
  ~CWicImageReader();
  CWicImageReader(const CWicImageReader&) = delete;
  CWicImageReader& operator=(const CWicImageReader&) = delete;

  HRESULT Open(const char16_t* name);
  // The whole first frame; E_NOTIMPL for a pixel format outside the reader's table.
  HRESULT ReadInto(CImg* image);

  int32_t width = 0;
  int32_t height = 0;
  uint32_t frameCount = 0;
  CParams params;
  wic::IWICBitmapFrameDecode* frame = nullptr;  // a counted reference, held from Open

 private:
  void ReleaseFrame();
};

}  // namespace ko
