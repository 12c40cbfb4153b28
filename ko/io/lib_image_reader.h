// Reader of the library's object files: loads the first stored object into the caller's
// image. Open only records the name and answers 1, so LoadImageFile, which reads only
// after an Open that returned exactly 0, leaves the image untouched for such files;
// ReadInto runs when a caller of CImageFileReader asks ReadImage itself.
#pragma once
#include "ko/io/image_file_sub_reader.h"

namespace ko {

class CLibImageReader : public CImageFileSubReader {
 public:
  HRESULT Open(const char16_t* name) override;
  // The first object must be an image; flags are not used.
  HRESULT ReadInto(CImg* image, int32_t flags) override;
};

}  // namespace ko
