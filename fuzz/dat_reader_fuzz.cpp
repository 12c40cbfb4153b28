// Feeds bytes to the text-header (.dat) reader as the program loads a file: Open, then
// ReadInto the program's 4-band byte colour image, then into one other caller type.
#include <cstddef>
#include <cstdint>

#include "ko/io/dat_image_reader.h"

namespace {

// A short file may declare a huge image (the values it lacks are zero). Such images are
// only limited by the readers' 2 GiB cap (image_limits.h); the fuzzer skips them to keep
// its memory small.
constexpr int64_t kMaxElements = int64_t{1} << 22;

constexpr int32_t kOtherTypes[] = {ko::kElemByte, ko::kElemFloat, ko::kElemInt, ko::kElemShort,
                                   ko::kTypeRGBAFloat, ko::kTypeRGBByte};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::CDatImageReader reader;
  reader.UseMemory(data, size);
  if (reader.Open(u"fuzz.dat") != 0) return 0;
  const int64_t pixels = static_cast<int64_t>(reader.width) * reader.height;
  const int64_t perPixel = reader.fileBands > 4 ? reader.fileBands : 4;
  if (pixels > kMaxElements || pixels * perPixel > kMaxElements) return 0;

  const int32_t width = reader.width;
  const int32_t height = reader.height;
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  if (reader.ReadInto(&colour, 1) == 0) {
    Check(colour.width == width && colour.height == height && colour.bands == 4);
    Check(colour.type == ko::kTypeRGBAByte);
  }

  ko::CImg other;
  other.type = kOtherTypes[size % (sizeof kOtherTypes / sizeof kOtherTypes[0])];
  other.elementSize = ko::ElementSizeOfType(other.type);
  const ko::HRESULT hr = reader.ReadInto(&other, 1);
  if (other.type == ko::kTypeRGBByte) Check(hr == ko::E_FAIL && !other.HasMemory());
  if (hr == 0) Check(other.width == width && other.height == height);
  return 0;
}
