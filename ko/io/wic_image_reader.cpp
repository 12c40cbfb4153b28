#include "ko/io/wic_image_reader.h"

namespace ko {

CWicImageReader::~CWicImageReader() = default;

// Not built yet: the format is refused cleanly.
HRESULT CWicImageReader::Open(const char16_t* name) { return name ? E_NOTIMPL : E_POINTER; }

HRESULT CWicImageReader::ReadInto(CImg*) { return E_NOTIMPL; }

}  // namespace ko
