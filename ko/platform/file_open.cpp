#include "ko/platform/file_open.h"

#include <fcntl.h>

#include <cerrno>

#include "ko/platform/path_codec.h"

namespace ko {

std::string KoNarrowName(const char16_t* name) { return EncodeWidePath(name); }

FILE* KoWideFopen(const char16_t* name, const char* mode) {
  if (!name || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string narrow = EncodeWidePath(name);
  if (narrow.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  return std::fopen(narrow.c_str(), mode);
}

int KoWideOpen(const char16_t* name, int flags, int mode) {
  if (!name) {
    errno = EINVAL;
    return -1;
  }
  const std::string narrow = EncodeWidePath(name);
  if (narrow.empty()) {
    errno = ENOENT;
    return -1;
  }
  return ::open(narrow.c_str(), flags | O_CLOEXEC, mode);
}

}  // namespace ko
