// Feeds arbitrary bytes to the DNG reader (the TIFF directory parser and the metadata
// conversion included) the way the loading entry uses it, then develops a second time
// into another pixel type.
#include <cstddef>
#include <cstdint>

#include "ko/core/img.h"
#include "ko/io/dng_image_reader.h"
#include "ko/io/image_file_sub_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::CDngImageReader reader;
  if (reader.OpenMemory(data, size) < 0) return 0;
  ko::CImg image;
  if (ko::EnsureImageSize(reader.outputWidth, reader.outputHeight, &image, ko::kTypeRGBAByte, 4) < 0) return 0;
  if (reader.ReadInto(&image) < 0) return 0;
  ko::CImg again;
  if (ko::EnsureImageSize(reader.outputWidth, reader.outputHeight, &again, ko::kTypeRGB16, 3) < 0) return 0;
  reader.exposure = 0.5f;
  reader.ReadInto(&again);
  return 0;
}
