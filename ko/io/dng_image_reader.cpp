#include "ko/io/dng_image_reader.h"

namespace ko {

CDngImageReader::~CDngImageReader() = default;

// Not built yet: the format is refused cleanly.
HRESULT CDngImageReader::Open(const char16_t* name) { return name ? E_NOTIMPL : E_POINTER; }

HRESULT CDngImageReader::ReadInto(CImg*) { return E_NOTIMPL; }

}  // namespace ko
