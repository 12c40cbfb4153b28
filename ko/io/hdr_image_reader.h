// Reader of Radiance RGBE files (.hdr).
#pragma once
#include "ko/io/image_file_sub_reader.h"

namespace ko {

class CHdrImageReader : public CImageFileSubReader {
 public:
  HRESULT Open(const char16_t* name) override;
  HRESULT ReadInto(CImg* image, int32_t flags) override;
};

}  // namespace ko
