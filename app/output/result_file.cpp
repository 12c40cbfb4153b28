#include "app/output/result_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

namespace brevant {
namespace {

// The folder part of a path, with its trailing slash; empty for a bare name.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Creates a new hidden file ".brevant-PID-N.tmp" in `folder` (or, with `linkFrom`, links
// that file there under such a name); returns its descriptor (0 for a link), or -1 with
// errno set.
int CreateHidden(const std::string& folder, std::string* name, const char* linkFrom = nullptr) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".brevant-%ld-%u.tmp", static_cast<long>(getpid()), attempt);
    *name = folder + suffix;
    const int fd = linkFrom ? linkat(AT_FDCWD, linkFrom, AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW)
                            : open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  name->clear();
  return -1;
}

// Writes all `bytes` at `p` to fd: at *offset with pwrite (advancing it), or at the file's
// position with write when offset is null. Interrupted calls are repeated; a call that
// writes nothing, or a part that is not a multiple of `unit` (a direct write must stay
// aligned), counts as a full disk. False with errno set.
bool WriteFully(int fd, const uint8_t* p, size_t bytes, uint64_t* offset, size_t unit) {
  while (bytes > 0) {
    const ssize_t n = offset ? pwrite(fd, p, bytes, static_cast<off_t>(*offset)) : write(fd, p, bytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0 || static_cast<size_t>(n) % unit != 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    bytes -= static_cast<size_t>(n);
    if (offset) *offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

CResultFile::~CResultFile() { Discard(); }

bool CResultFile::Create(const std::string& target) {
  Discard();
  struct stat info;
  if (stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  const std::string folder = FolderOf(target);
  // An unnamed file in the target's folder: a process killed while writing leaves nothing
  // behind. It gets a name only at Commit. File systems without unnamed files (NFS, say)
  // take a hidden name of our own in the same folder, which a kill leaves behind.
  const int unnamed = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (unnamed >= 0) {
    fd_ = unnamed;
    target_ = target;
    temporary_.clear();
    directFd_ = open(DescriptorPath(fd_).c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
    return true;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  const int fd = CreateHidden(folder, &temporary_);
  if (fd < 0) return false;
  fd_ = fd;
  target_ = target;
  // Not every file system takes direct writes (tmpfs does not): then all are buffered.
  directFd_ = open(temporary_.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
  return true;
}

bool CResultFile::Write(const void* data, size_t bytes) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  return WriteFully(fd_, static_cast<const uint8_t*>(data), bytes, nullptr, 1);
}

bool CResultFile::WriteDirect(const uint8_t* p, size_t bytes, uint64_t offset) {
  return WriteFully(directFd_, p, bytes, &offset, kDirectAlign);
}

bool CResultFile::WriteAt(const void* data, size_t bytes, uint64_t offset) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  const bool aligned = reinterpret_cast<uintptr_t>(p) % kDirectAlign == 0 && bytes % kDirectAlign == 0 &&
                       offset % kDirectAlign == 0;
  if (aligned && directFd_ >= 0) {
    if (WriteDirect(p, bytes, offset)) return true;
    // A file system that refuses the direct write (EINVAL) still takes a buffered one.
    if (errno != EINVAL) return false;
  }
  return WriteFully(fd_, p, bytes, &offset, 1);
}

void CResultFile::StartWriteback(uint64_t offset, uint64_t bytes) {
  if (fd_ < 0) return;
  const int saved = errno;
  sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(bytes), SYNC_FILE_RANGE_WRITE);
  errno = saved;
}

bool CResultFile::SyncData() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  return fdatasync(fd_) == 0;
}

bool CResultFile::Commit() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  int error = 0;
  if (fsync(fd_) != 0) error = errno;
  // An unnamed file is linked under a hidden name, then renamed over the target as a named
  // one is: the target is replaced in one step, never removed first.
  if (error == 0 && temporary_.empty() &&
      CreateHidden(FolderOf(target_), &temporary_, DescriptorPath(fd_).c_str()) < 0)
    error = errno;
  if (directFd_ >= 0 && close(directFd_) != 0 && error == 0) error = errno;
  directFd_ = -1;
  if (close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  if (error == 0 && rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
  if (error != 0) {
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
    errno = error;
    return false;
  }
  temporary_.clear();
  return true;
}

void CResultFile::Discard() {
  const int saved = errno;  // callers report the failure that led here
  if (directFd_ >= 0) {
    close(directFd_);
    directFd_ = -1;
  }
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    temporary_.clear();
  }
  errno = saved;
}

}  // namespace brevant
