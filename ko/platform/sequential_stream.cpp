#include "ko/platform/sequential_stream.h"

#include <cstring>

namespace ko {

HRESULT CMemoryStream::Read(void* buffer, uint32_t byteCount, uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (readFault_ != S_OK) return readFault_;
  if (!buffer && byteCount) return E_POINTER;
  const size_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
  const size_t n = byteCount < available ? byteCount : available;
  if (n) std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  if (bytesRead) *bytesRead = static_cast<uint32_t>(n);
  return n < byteCount ? S_FALSE : S_OK;
}

HRESULT CMemoryStream::Write(const void* data, uint32_t byteCount, uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (writeFault_ != S_OK) return writeFault_;
  if (!data && byteCount) return E_POINTER;
  if (limit_ >= 0 && static_cast<int64_t>(position_) + byteCount > limit_) return E_FAIL;
  if (position_ + byteCount > bytes_.size()) bytes_.resize(position_ + byteCount);
  if (byteCount) std::memcpy(bytes_.data() + position_, data, byteCount);
  position_ += byteCount;
  if (bytesWritten) *bytesWritten = byteCount;
  return writeSuccess_;
}

}  // namespace ko
