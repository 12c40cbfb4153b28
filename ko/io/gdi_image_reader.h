// Reader of PNG, JPEG, GIF, BMP and TIFF files through the platform codec layer (GDI+'s
// flat API, ko/codec/gdiplus_bitmap.h). Pixels are asked for in 32bppARGB, 24bppRGB or
// 8bppIndexed and written straight into the caller's image when it already has that
// layout, otherwise converted from a temporary image. The metadata records whether the
// file had alpha, its bits per pixel (as the codec layer counts them) and its property
// items under their tag numbers.
#pragma once
#include "ko/io/image_file_sub_reader.h"

namespace ko {

class GpBitmap;

// The bitmap Open made (the file read whole, its header parsed) serves the first ReadInto;
// a later ReadInto reads the file again.
class CGdiImageReader : public CImageFileSubReader {
 public:
  CGdiImageReader() = default;
  ~CGdiImageReader() override;
  HRESULT Open(const char16_t* name) override;
  HRESULT ReadInto(CImg* image, int32_t flags) override;

 private:
  GpBitmap* opened_ = nullptr;
};

// The codec layer's status after creating a bitmap, as a result code: 10 E_KO_NOTFOUND,
// 13 E_KO_BADFORMAT, 12 E_KO_READ, any other failure E_FAIL.
HRESULT ResultFromGdiplusStatus(int32_t status);

}  // namespace ko
