#include "ko/io/image_read_reason.h"

#include <sys/stat.h>

#include <cerrno>
#include <unistd.h>

namespace ko {
namespace {

thread_local std::string g_words;

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A path the readers could not read at all: a folder, or a file this process may not read.
std::string UnreadableReason(const std::string& path) {
  if (IsFolder(path)) return "it is a folder, not a file";
  if (access(path.c_str(), R_OK) != 0) return "permission denied";
  return "the file cannot be read";
}

}  // namespace

void SetImageReadReason(const std::string& words) { g_words = words; }

void ClearImageReadReason() { g_words.clear(); }

std::string ImageReadReason(HRESULT hr, const std::string& path) {
  std::string reason;
  if (!g_words.empty()) {
    reason.swap(g_words);
  } else if (hr >= 0) {
    // No reader took the name: the extension is not one Brevant reads, if there is a file.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) reason = errno == ENOENT ? "no such file" : UnreadableReason(path);
    else reason = S_ISDIR(info.st_mode) ? "it is a folder, not a file" : "not a format Brevant reads";
  } else {
    switch (hr) {
      case E_KO_NOTFOUND: reason = "no such file"; break;
      case E_ACCESSDENIED: reason = "permission denied"; break;
      case E_KO_READ: reason = UnreadableReason(path); break;
      case E_KO_BADFORMAT: reason = "not a format Brevant reads, or its header is damaged"; break;
      case E_FAIL: reason = "the file is truncated or corrupt"; break;
      case E_NOTIMPL: reason = "a variant of the format the reader does not support"; break;
      case E_OUTOFMEMORY: reason = "the image is too large to read"; break;
      default: reason = std::string("the reader failed (") + ResultName(hr) + ")"; break;
    }
  }
  return reason;
}

}  // namespace ko
