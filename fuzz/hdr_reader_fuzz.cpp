// Radiance files from arbitrary bytes: header, properties and both scanline encodings.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ko/io/hdr_image_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Large declared images only cost memory; keep the search on decoding.
  ko::SHdrLayout layout;
  ko::CHdrInput look(data, size);
  if (ko::ParseHdrHeader(look, nullptr, &layout) >= 0 && layout.width > 0 && layout.height > 0 &&
      static_cast<int64_t>(layout.width) * layout.height > (int64_t{1} << 20))
    return 0;
  ko::CImg image;
  const ko::HRESULT hr = ko::ReadHdrImageFromMemory(data, size, &image, 1);
  if (image.HasMemory()) {
    // Every pixel must have been written, decoded or zeroed; reading them all lets the
    // sanitizers see any stray pointer.
    float sum = 0;
    for (int32_t y = 0; y < image.height; ++y) {
      const auto* row = reinterpret_cast<const float*>(image.RowPtr(y));
      for (int32_t i = 0; i < 4 * image.width; ++i) sum += row[i];
    }
    volatile float sink = sum;
    (void)sink;
  }
  (void)hr;
  return 0;
}
