#include "ko/io/lib_image_reader.h"

namespace ko {

// Not built yet: the format is refused cleanly.
HRESULT CLibImageReader::Open(const char16_t* name) {
  const HRESULT hr = CImageFileSubReader::Open(name);
  return hr < 0 ? hr : E_NOTIMPL;
}

HRESULT CLibImageReader::ReadInto(CImg*, int32_t) { return E_NOTIMPL; }

}  // namespace ko
