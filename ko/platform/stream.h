// Random-access byte streams with counted references, in the shape the object files use:
// IStream adds positioning and the usual stream housekeeping to ISequentialStream, and
// IKoAsyncStream adds a read-ahead hint.
#pragma once
#include <cstdint>

#include "ko/platform/guid.h"
#include "ko/platform/hresult.h"
#include "ko/platform/sequential_stream.h"

namespace ko {

extern const GUID IID_IUnknown;           // {00000000-0000-0000-C000-000000000046}
extern const GUID IID_ISequentialStream;  // {0C733A30-2A1C-11CE-ADE5-00AA0044773D}
extern const GUID IID_IStream;            // {0000000C-0000-0000-C000-000000000046}
extern const GUID IID_IKoAsyncStream;     // {DB4A1106-13A9-47B7-A5DC-0083CF85C404}

// Seek origins.
enum : uint32_t {
  STREAM_SEEK_SET = 0,
  STREAM_SEEK_CUR = 1,
  STREAM_SEEK_END = 2,
};

// What Stat would describe; no stream of the library fills it.
struct STATSTG {
  uint64_t size;
};

class IStream : public ISequentialStream {
 public:
  // Answers the identifiers the object implements with itself and one more reference;
  // anything else is E_NOINTERFACE with a null result.
  virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;
  virtual int32_t AddRef() = 0;
  // At zero the stream frees itself; returns the count after the decrement.
  virtual int32_t Release() = 0;

  // origin: STREAM_SEEK_CUR, STREAM_SEEK_END, anything else from the start.
  virtual HRESULT Seek(int64_t move, uint32_t origin, uint64_t* newPosition) = 0;
  virtual HRESULT SetSize(uint64_t size) = 0;
  virtual HRESULT CopyTo(IStream* target, uint64_t count, uint64_t* read, uint64_t* written) = 0;
  virtual HRESULT Commit(uint32_t flags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(uint64_t offset, uint64_t count, uint32_t lockType) = 0;
  virtual HRESULT UnlockRegion(uint64_t offset, uint64_t count, uint32_t lockType) = 0;
  virtual HRESULT Stat(STATSTG* out, uint32_t flags) = 0;
  virtual HRESULT Clone(IStream** out) = 0;

 protected:
  // Streams are counted: they end through Release, never by delete from outside.
  ~IStream() override = default;
};

class IKoAsyncStream : public IStream {
 public:
  // Tells the stream that an object of `size` bytes will be read from the current position.
  virtual HRESULT ReadAhead(uint32_t size) = 0;

 protected:
  ~IKoAsyncStream() override = default;
};

}  // namespace ko
