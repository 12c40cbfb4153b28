#include "ko/platform/ko_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ko/platform/atomic.h"
#include "ko/platform/file_open.h"
#include "ko/platform/memory.h"

namespace ko {

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
const GUID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_IKoAsyncStream = {0xDB4A1106, 0x13A9, 0x47B7, {0xA5, 0xDC, 0x00, 0x83, 0xCF, 0x85, 0xC4, 0x04}};

namespace {

HRESULT OpenErrorToResult(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EISDIR:  // what the run-time reports when a directory is opened as a file
      return E_ACCESSDENIED;
    case ENOENT:
      return E_KO_NOTFOUND;
    default:
      return E_FAIL;
  }
}

}  // namespace

HRESULT CKoStream::Create(const char16_t* path, CKoStream** out, int32_t flags) {
  if (!path || !out) return E_POINTER;
  *out = nullptr;
  int openFlags = O_RDONLY;
  if (flags & kKoStreamReadWrite) {
    openFlags = O_RDWR;
    if (flags & kKoStreamCreate) openFlags |= O_CREAT | O_TRUNC;
  }
  const int fd = KoWideOpen(path, openFlags, 0666);
  if (fd < 0) return OpenErrorToResult(errno);
  // Linux opens a directory read-only without complaint; a stream over it is no file.
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    return OpenErrorToResult(error);
  }
  CKoStream* stream = KoNew<CKoStream>(fd);
  if (!stream) {
    ::close(fd);
    return E_OUTOFMEMORY;
  }
  *out = stream;
  return S_OK;
}

CKoStream::~CKoStream() {
  if (fd_ >= 0) ::close(fd_);
}

HRESULT CKoStream::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGuid(iid, IID_IUnknown) || IsEqualGuid(iid, IID_ISequentialStream) ||
      IsEqualGuid(iid, IID_IStream) || IsEqualGuid(iid, IID_IKoAsyncStream)) {
    // One object serves every interface: the pointer is the same for all of them.
    *out = static_cast<IKoAsyncStream*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

int32_t CKoStream::AddRef() { return InterlockedIncrement(&refCount_); }

int32_t CKoStream::Release() {
  const int32_t n = InterlockedDecrement(&refCount_);
  if (n == 0) delete this;
  return n;
}

HRESULT CKoStream::Read(void* buffer, uint32_t byteCount, uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (!buffer) return E_POINTER;
  auto* p = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  // A regular file delivers everything up to its end in one call; loop for the rest.
  while (total < byteCount) {
    const ssize_t n = ::read(fd_, p + total, byteCount - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (bytesRead) *bytesRead = total;
      return E_FAIL;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  if (bytesRead) *bytesRead = total;
  return total < byteCount ? S_FALSE : S_OK;
}

HRESULT CKoStream::Write(const void* data, uint32_t byteCount, uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (!data) return E_POINTER;
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t total = 0;
  while (total < byteCount) {
    const ssize_t n = ::write(fd_, p + total, byteCount - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (bytesWritten) *bytesWritten = total;
      return E_FAIL;
    }
    total += static_cast<uint32_t>(n);
  }
  if (bytesWritten) *bytesWritten = total;
  return S_OK;
}

HRESULT CKoStream::Seek(int64_t move, uint32_t origin, uint64_t* newPosition) {
  const int whence = origin == STREAM_SEEK_CUR ? SEEK_CUR : origin == STREAM_SEEK_END ? SEEK_END : SEEK_SET;
  const off_t position = ::lseek(fd_, static_cast<off_t>(move), whence);
  if (position < 0) return E_FAIL;
  if (newPosition) *newPosition = static_cast<uint64_t>(position);
  return S_OK;
}

HRESULT CKoStream::SetSize(uint64_t) { return E_NOTIMPL; }
HRESULT CKoStream::CopyTo(IStream*, uint64_t, uint64_t*, uint64_t*) { return E_NOTIMPL; }
HRESULT CKoStream::Commit(uint32_t) { return E_NOTIMPL; }
HRESULT CKoStream::Revert() { return E_NOTIMPL; }
HRESULT CKoStream::LockRegion(uint64_t, uint64_t, uint32_t) { return E_NOTIMPL; }
HRESULT CKoStream::UnlockRegion(uint64_t, uint64_t, uint32_t) { return E_NOTIMPL; }
HRESULT CKoStream::Stat(STATSTG*, uint32_t) { return E_NOTIMPL; }
HRESULT CKoStream::Clone(IStream** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}
HRESULT CKoStream::ReadAhead(uint32_t) { return E_NOTIMPL; }

}  // namespace ko
