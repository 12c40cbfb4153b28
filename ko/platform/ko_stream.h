// A file stream on a POSIX file descriptor, opened by the file's UTF-16 name.
#pragma once
#include <cstdint>

#include "ko/platform/stream.h"

namespace ko {

// Creation flags.
enum : int32_t {
  kKoStreamReadWrite = 1,  // clear: read-only
  kKoStreamCreate = 2,     // with kKoStreamReadWrite: create or truncate
};

class CKoStream final : public IKoAsyncStream {
 public:
  // Opens `path`; on success *out holds the stream with one reference. Errors:
  // E_POINTER (null argument), E_ACCESSDENIED, E_KO_NOTFOUND, E_FAIL (any other refusal),
  // E_OUTOFMEMORY.
  static HRESULT Create(const char16_t* path, CKoStream** out, int32_t flags);

  HRESULT QueryInterface(const GUID& iid, void** out) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // Reads up to byteCount bytes; S_FALSE when the file ends first (*bytesRead tells how
  // many arrived), E_FAIL on a read error.
  HRESULT Read(void* buffer, uint32_t byteCount, uint32_t* bytesRead) override;
  HRESULT Write(const void* data, uint32_t byteCount, uint32_t* bytesWritten) override;
  // A resulting position below 0 is E_FAIL.
  HRESULT Seek(int64_t move, uint32_t origin, uint64_t* newPosition) override;

  // Not offered by a file stream: E_NOTIMPL.
  HRESULT SetSize(uint64_t size) override;
  HRESULT CopyTo(IStream* target, uint64_t count, uint64_t* read, uint64_t* written) override;
  HRESULT Commit(uint32_t flags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(uint64_t offset, uint64_t count, uint32_t lockType) override;
  HRESULT UnlockRegion(uint64_t offset, uint64_t count, uint32_t lockType) override;
  HRESULT Stat(STATSTG* out, uint32_t flags) override;
  HRESULT Clone(IStream** out) override;
  HRESULT ReadAhead(uint32_t size) override;

  int Descriptor() const { return fd_; }

 private:
  explicit CKoStream(int fd) : fd_(fd) {}
  ~CKoStream() override;

  int32_t refCount_ = 1;
  int fd_ = -1;

  template <class T, class... Args>
  friend T* KoNew(Args&&... args);
};

}  // namespace ko
