// TODO(codecs): temporary stand-in until the shared TIFF-directory parser
// (tiff_directory.cpp, from the DNG work) is merged; delete this file then.
// Until then no EXIF/TIFF property items are listed.
#include "ko/platform/tiff_directory.h"

namespace ko {

uint32_t TiffTypeSize(uint16_t type) {
  static const uint8_t kSizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < 14 ? kSizes[type] : 0;
}

const TiffEntry* TiffDirectory::Find(uint16_t tag) const {
  for (const TiffEntry& e : entries)
    if (e.tag == tag) return &e;
  return nullptr;
}

HRESULT ParseTiff(const uint8_t*, size_t, TiffFile*, const TiffLimits&) { return E_NOTIMPL; }

}  // namespace ko
