#include "ko/io/hdr_image_reader.h"

namespace ko {

// Not built yet: the format is refused cleanly.
HRESULT CHdrImageReader::Open(const char16_t* name) {
  const HRESULT hr = CImageFileSubReader::Open(name);
  return hr < 0 ? hr : E_NOTIMPL;
}

HRESULT CHdrImageReader::ReadInto(CImg*, int32_t) { return E_NOTIMPL; }

}  // namespace ko
