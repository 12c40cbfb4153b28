// Feeds bytes to the .qxi reader as the program loads a file: Open, then ReadInto the
// program's 4-band byte colour image (which comes back as a float image).
#include <cstddef>
#include <cstdint>

#include "ko/io/qxi_image_reader.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::CQxiImageReader reader;
  reader.UseMemory(data, size);
  if (reader.Open(u"fuzz.qxi") != 0) return 0;
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  const ko::HRESULT hr = reader.ReadInto(&colour, 1);
  if (colour.HasMemory()) {
    // The body was checked against the input before anything was allocated.
    Check(static_cast<uint64_t>(colour.width) * colour.pixelSize * colour.height <= size);
    Check(colour.elementSize == 4);
  }
  if (hr == 0) Check(colour.width == reader.width && colour.height == reader.height);
  return 0;
}
