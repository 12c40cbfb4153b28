#include "app/output/result_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace brevant {
namespace {

// The folder part of a path, with its trailing slash; empty for a bare name.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
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
  // A hidden name of our own in the same folder, so the final rename stays on one file system.
  const std::string folder = FolderOf(target);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".brevant-%ld-%u.tmp", static_cast<long>(getpid()), attempt);
    const std::string name = folder + suffix;
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      target_ = target;
      temporary_ = name;
      // Not every file system takes direct writes (tmpfs does not): then all are buffered.
      directFd_ = open(name.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool CResultFile::Write(const void* data, size_t bytes) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = write(fd_, p, bytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

bool CResultFile::WriteDirect(const uint8_t* p, size_t bytes, uint64_t offset) {
  while (bytes > 0) {
    const ssize_t n = pwrite(directFd_, p, bytes, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0 || n % static_cast<ssize_t>(kDirectAlign) != 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    bytes -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
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
  while (bytes > 0) {
    const ssize_t n = pwrite(fd_, p, bytes, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    bytes -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

void CResultFile::StartWriteback(uint64_t offset, uint64_t bytes) {
  if (fd_ < 0) return;
  const int saved = errno;
  sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(bytes), SYNC_FILE_RANGE_WRITE);
  errno = saved;
}

bool CResultFile::Commit() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  int error = 0;
  if (fsync(fd_) != 0) error = errno;
  if (directFd_ >= 0 && close(directFd_) != 0 && error == 0) error = errno;
  directFd_ = -1;
  if (close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  if (error == 0 && rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary_.c_str());
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
