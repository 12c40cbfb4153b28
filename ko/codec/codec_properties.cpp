#include "ko/codec/codec_properties.h"

#include <new>
#include <zlib.h>

#include "ko/codec/tiff_directory.h"
#include "ko/platform/memory.h"

namespace ko {
namespace {

uint16_t ItemType(uint16_t fieldType) {
  switch (fieldType) {
    case kTiffByte:
    case kTiffSByte: return PropertyTagTypeByte;
    case kTiffAscii: return PropertyTagTypeASCII;
    case kTiffShort:
    case kTiffSShort: return PropertyTagTypeShort;
    case kTiffLong:
    case kTiffIfd: return PropertyTagTypeLong;
    case kTiffRational: return PropertyTagTypeRational;
    case kTiffSLong: return PropertyTagTypeSLONG;
    case kTiffSRational: return PropertyTagTypeSRational;
    default: return PropertyTagTypeUndefined;
  }
}

GpStatus AddDirectory(const TiffDirectory& dir, CodecPropertyList* list) {
  for (const TiffEntry& e : dir.entries) {
    if (e.value.size() > UINT32_MAX) continue;
    const GpStatus s = list->Add(e.tag, ItemType(e.type), e.value.data(), static_cast<uint32_t>(e.value.size()));
    if (s != Ok) return s;
  }
  return Ok;
}

GpStatus AddParsed(const TiffFile& file, CodecPropertyList* list) {
  if (file.chain.empty()) return Ok;
  const TiffDirectory& ifd0 = file.chain[0];
  GpStatus s = AddDirectory(ifd0, list);
  for (const TiffDirectory& d : ifd0.exifIfd)
    if (s == Ok) s = AddDirectory(d, list);
  for (const TiffDirectory& d : ifd0.gpsIfd)
    if (s == Ok) s = AddDirectory(d, list);
  for (const TiffDirectory& exif : ifd0.exifIfd)
    for (const TiffDirectory& d : exif.interopIfd)
      if (s == Ok) s = AddDirectory(d, list);
  return s;
}

void* ZAlloc(void*, unsigned items, unsigned size) {
  const size_t bytes = static_cast<size_t>(items) * size;
  return KoMalloc(bytes ? bytes : 1);
}
void ZFree(void*, void* p) { KoFree(p); }

// One pass over the stream; with `out` null only counts. -1 corrupt, -2 over cap, -3 no memory.
long InflatePass(const uint8_t* data, size_t size, size_t cap, uint8_t* out) {
  z_stream z{};
  z.zalloc = ZAlloc;
  z.zfree = ZFree;
  if (inflateInit(&z) != Z_OK) return -3;
  uint8_t scratch[4096];
  size_t produced = 0;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size > UINT32_MAX ? UINT32_MAX : size);
  long result = -1;
  for (;;) {
    // Output beyond `cap` in the second pass lands in the scratch buffer and fails.
    const bool direct = out && produced < cap;
    uint8_t* target = direct ? out + produced : scratch;
    const size_t room = direct ? cap - produced : sizeof scratch;
    z.next_out = target;
    z.avail_out = static_cast<uInt>(room);
    const int r = inflate(&z, Z_NO_FLUSH);
    const size_t got = room - z.avail_out;
    produced += got;
    if (produced > cap) {
      result = -2;
      break;
    }
    if (r == Z_STREAM_END) {
      result = static_cast<long>(produced);
      break;
    }
    if (r == Z_MEM_ERROR) {
      result = -3;
      break;
    }
    if ((r != Z_OK && r != Z_BUF_ERROR) || (got == 0 && z.avail_in == 0) || (r == Z_BUF_ERROR && got == 0))
      break;  // corrupt or cut short
  }
  inflateEnd(&z);
  return result;
}

}  // namespace

GpStatus AddTiffProperties(const uint8_t* data, size_t size, CodecPropertyList* list) {
  try {
    TiffFile file;
    if (ParseTiff(data, size, &file) < 0) return Ok;  // unreadable metadata is left out
    return AddParsed(file, list);
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
}

bool InflateBounded(const uint8_t* data, size_t size, size_t cap, CodecBuffer* out, bool* outOfMemory) {
  *outOfMemory = false;
  const long total = InflatePass(data, size, cap, nullptr);
  if (total < 0) {
    *outOfMemory = total == -3;
    return false;
  }
  if (!out->Allocate(static_cast<size_t>(total) + 1)) {  // +1: room for a terminator
    *outOfMemory = true;
    return false;
  }
  const long again = InflatePass(data, size, static_cast<size_t>(total), out->data());
  if (again != total) {
    *outOfMemory = again == -3;
    return false;
  }
  out->data()[total] = 0;
  return true;
}

}  // namespace ko
