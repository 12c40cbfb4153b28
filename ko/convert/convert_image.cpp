#include "ko/convert/convert_image.h"

namespace ko {

// Not built yet.
HRESULT ConvertImage(const CImg&, CImg&) { return E_NOTIMPL; }

template <class S, class D>
HRESULT ConvertImagePair(const CImg&, CImg&) {
  return E_NOTIMPL;
}

template HRESULT ConvertImagePair<unsigned char, float>(const CImg&, CImg&);

}  // namespace ko
