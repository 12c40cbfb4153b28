// Reader of the .qxi fixed-header float format: a text line of nine numbers
// "version bytes-per-element x0 y0 x1 y1 elements-per-pixel reserved kind" and a body of
// the image's float bytes, binary (version 1) or as hexadecimal text (version 0). The
// image is always re-created as a float image, whatever the caller's type.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/io/image_file_sub_reader.h"

namespace ko {

class CQxiImageReader : public CImageFileSubReader {
 public:
  static constexpr uint32_t kKindRGBAFloat = 0x285;  // 16-byte RGBA float pixels
  static constexpr uint32_t kKindFloatBands = 0x185;  // float bands

  HRESULT Open(const char16_t* name) override;
  HRESULT ReadInto(CImg* image, int32_t flags) override;

  // Parse these bytes instead of the named file (tests, fuzzing). Not copied: they must
  // outlive the reader's use of them.
  void UseMemory(const uint8_t* data, size_t size);

 private:
  HRESULT OpenSource(CByteSource* source);

  const uint8_t* memoryData_ = nullptr;
  size_t memorySize_ = 0;
  bool useMemory_ = false;
};

// One byte of a hexadecimal body: white space, then two digit characters. A digit
// character c counts c - 48 up to '`' and c - 87 above it, so only '0'-'9' and 'a'-'f'
// have their usual values. False when the body ends first.
bool ReadQxiHexByte(CByteSource& source, uint8_t* value);

}  // namespace ko
