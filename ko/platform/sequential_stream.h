// Byte streams: Read and Write report the byte count moved; Read answers S_FALSE when the
// data ends before the requested count.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ko/platform/hresult.h"

namespace ko {

class ISequentialStream {
 public:
  virtual ~ISequentialStream() = default;
  virtual HRESULT Read(void* buffer, uint32_t byteCount, uint32_t* bytesRead) = 0;
  virtual HRESULT Write(const void* data, uint32_t byteCount, uint32_t* bytesWritten) = 0;
};

// A growable in-memory stream with one position shared by reads and writes. For tests it
// can be told to fail, or to accept only a limited number of bytes.
class CMemoryStream : public ISequentialStream {
 public:
  CMemoryStream() = default;
  explicit CMemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  HRESULT Read(void* buffer, uint32_t byteCount, uint32_t* bytesRead) override;
  HRESULT Write(const void* data, uint32_t byteCount, uint32_t* bytesWritten) override;

  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  void Rewind() { position_ = 0; }
  size_t Position() const { return position_; }

  // Every later Read (or Write) returns this code; S_OK switches the fault off.
  void FailReadsWith(HRESULT hr) { readFault_ = hr; }
  void FailWritesWith(HRESULT hr) { writeFault_ = hr; }
  // Writes beyond this total are refused with E_FAIL (a full disk); -1 for no limit.
  void LimitSize(int64_t maxBytes) { limit_ = maxBytes; }
  // What a successful Write returns (a positive code may be returned by a stream).
  void SetWriteSuccessCode(HRESULT hr) { writeSuccess_ = hr; }

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
  HRESULT readFault_ = S_OK;
  HRESULT writeFault_ = S_OK;
  HRESULT writeSuccess_ = S_OK;
  int64_t limit_ = -1;
};

}  // namespace ko
