// Feeds arbitrary bytes to the TIFF directory parser, whole-file and single-directory
// forms, and checks that every value it hands back has the size its entry claims.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ko/codec/tiff_directory.h"

namespace {

void Check(const ko::TiffDirectory& d) {
  for (const ko::TiffEntry& e : d.entries) {
    const uint64_t size = ko::TiffTypeSize(e.type);
    if (e.value.size() != (size ? e.count * size : 0)) std::abort();
  }
  for (const auto* list : {&d.subIfds, &d.exifIfd, &d.gpsIfd, &d.interopIfd})
    for (const ko::TiffDirectory& sub : *list) Check(sub);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::TiffFile file;
  if (ko::ParseTiff(data, size, &file) >= 0)
    for (const ko::TiffDirectory& d : file.chain) Check(d);
  if (size >= 8) {
    // The offset of IFD0 read as either byte order, as a metadata reader positioned there.
    const uint64_t offset = data[4] | (data[5] << 8) | (data[6] << 16) | (static_cast<uint32_t>(data[7]) << 24);
    ko::TiffDirectory d;
    ko::TiffLimits small;
    small.maxDirectories = 4;
    small.maxNesting = 1;
    small.maxEntriesPerDirectory = 16;
    small.maxValueBytes = 256;
    if (ko::ParseTiffDirectory(data, size, offset, data[0] == 'I', &d, small) >= 0) Check(d);
  }
  return 0;
}
