// Object files from arbitrary bytes, read through the real file stream: the bytes go into
// an anonymous memory file that is opened by its /proc name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ko/core/img.h"
#include "ko/io/obj_file_src.h"
#include "ko/platform/path_codec.h"

namespace {

size_t CountNodes(const ko::SObjRecordNode* node) {
  if (!node) return 0;
  size_t n = 1;
  for (uint32_t i = 0; i < node->childCount; ++i) n += CountNodes(&node->children[i]);
  return n;
}

void Exercise(const std::u16string& path) {
  ko::CObjFileSrc source;
  if (source.Open(path.c_str(), 2) < 0 && !source.IsOpen()) return;
  volatile size_t nodes = CountNodes(source.GetRecordTree());
  (void)nodes;
  const int64_t count = source.GetObjectCount();
  for (int i = 0; i < 8; ++i) {
    ko::CObj* object = nullptr;
    ko::SObjDescriptor descriptor;
    if (source.GetNextObject(&object, &descriptor) < 0) source.SeekObject(source.GetCurrentIndex() + 1);
    if (object) object->Release();
  }
  source.SeekObject(count > 0 ? count - 1 : 0);
  ko::CImg image;
  source.LoadNextObject(&image, nullptr);
  source.SeekObject(0);
  ko::CObj plain;
  source.LoadNextObject(&plain, nullptr);
  ko::CObj* again = nullptr;
  source.SeekObject(0);
  if (source.GetNextObject(&again, nullptr) >= 0 && again) again->Release();
  source.SeekObject(count + 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("obj_file_fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done == size) Exercise(ko::DecodeNarrowPath(("/proc/self/fd/" + std::to_string(fd)).c_str()));
  close(fd);
  return 0;
}
