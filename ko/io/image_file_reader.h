// The one door through which image files are read: the reader is chosen by the name's
// extension, fills the caller's image and records the file name in its properties.
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/io/image_file_sub_reader.h"

namespace ko {

class CImageFileReader {
 public:
  CImageFileReader() = default;
  ~CImageFileReader();
  CImageFileReader(const CImageFileReader&) = delete;
  CImageFileReader& operator=(const CImageFileReader&) = delete;

  // index < 0: the name as it is; otherwise the name is a format with one integer.
  HRESULT OpenFile(const char16_t* name, int32_t index);
  HRESULT ReadImage(CImg* image, int32_t flags);

  CImageFileSubReader* reader = nullptr;  // owned
};

// flags: low byte non-zero stores metadata ("Filename" among it).
HRESULT LoadImageFile(const char16_t* name, CImg* image, int32_t flags, int32_t index);

// The last '.' of the name and what follows, unless a '\' follows it; otherwise the
// terminating NUL (an empty extension).
const char16_t* GetFileExtension(const char16_t* name);

}  // namespace ko
