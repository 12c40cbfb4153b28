// Reader of the library's text-header raw format (.dat): decimal numbers, optionally after
// one header line "% KOv<version>: <width> x <height> x <bands>". Without a header the
// layout is counted: values on the first line give the width, lines holding values the
// height. The pixels are stored in the caller's element type.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/io/image_file_sub_reader.h"
#include "ko/platform/ko_buffer.h"

namespace ko {

class CDatImageReader : public CImageFileSubReader {
 public:
  // The highest header version this reader understands.
  static constexpr int32_t kFormatVersion = 1;
  // Standard input ("-") is read into memory once; more than this is refused.
  static constexpr size_t kMaxStdinBytes = size_t{1} << 30;

  CDatImageReader() = default;
  ~CDatImageReader() override;

  // The name "-" reads standard input.
  HRESULT Open(const char16_t* name) override;
  // The caller's image must be of type 1, 2, 3, 4, 0x10001 or 0x10002; it is re-created
  // with the file's size (and 4 bands for the two colour types). Elements the file does
  // not supply are 0.
  HRESULT ReadInto(CImg* image, int32_t flags) override;

  // Parse these bytes instead of the named file (tests, fuzzing). Not copied: they must
  // outlive the reader's use of them.
  void UseMemory(const uint8_t* data, size_t size);

  // The file's band count as Open found it (1 without a header).
  int32_t fileBands = 1;

 private:
  HRESULT OpenSource(CByteSource* source);
  HRESULT BufferStandardInput();

  const uint8_t* memoryData_ = nullptr;
  size_t memorySize_ = 0;
  bool useMemory_ = false;
  CKoBuffer<uint8_t> stdinData_;  // a copy of standard input
  size_t stdinSize_ = 0;
  bool stdinBuffered_ = false;
};

// scanf "%f" on the source: white space, then the longest prefix of a number in the
// forms strtod accepts (decimal, hexadecimal, inf, infinity, nan, nan(chars)). Returns
// false when that prefix is not a whole number; what it read stays consumed. The value is
// rounded once, from its decimal (or hexadecimal) form straight to float.
bool ScanFloatValue(CByteSource& source, float* value);

}  // namespace ko
