// Reader of the library's object files: loads the first stored object.
#pragma once
#include "ko/io/image_file_sub_reader.h"

namespace ko {

class CLibImageReader : public CImageFileSubReader {
 public:
  HRESULT Open(const char16_t* name) override;
  HRESULT ReadInto(CImg* image, int32_t flags) override;
};

}  // namespace ko
