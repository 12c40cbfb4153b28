#include "ko/io/lib_image_reader.h"

#include "ko/io/obj_file_src.h"

namespace ko {

HRESULT CLibImageReader::Open(const char16_t* name) {
  (void)CImageFileSubReader::Open(name);
  return 1;
}

HRESULT CLibImageReader::ReadInto(CImg* image, int32_t) {
  if (!image) return E_POINTER;
  CObjFileSrc source;
  HRESULT hr = source.Open(fileName, 0);
  if (hr == 0) hr = source.LoadNextObject(image, nullptr);
  source.Close();
  return hr;
}

}  // namespace ko
