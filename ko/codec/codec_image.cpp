#include "ko/codec/codec_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "ko/platform/file_open.h"
#include "ko/platform/memory.h"

namespace ko {

GpStatus CheckDecodedSize(uint64_t width, uint64_t height, size_t fileBytes) {
  if (width == 0 || height == 0) return UnknownImageFormat;
  if (width > kMaxCodecPixels || height > kMaxCodecPixels) return ValueOverflow;
  const uint64_t pixels = width * height;
  if (pixels > kMaxCodecPixels) return ValueOverflow;
  if (pixels > kSmallImagePixels && pixels / kMaxPixelsPerFileByte > fileBytes) return ValueOverflow;
  return Ok;
}

// ---------------------------------------------------------------------------------------

CodecBuffer::~CodecBuffer() { Reset(); }

CodecBuffer::CodecBuffer(CodecBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

CodecBuffer& CodecBuffer::operator=(CodecBuffer&& other) noexcept {
  if (this != &other) {
    Reset();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

bool CodecBuffer::Allocate(size_t size, bool zero) {
  Reset();
  if (size == 0) return true;
  data_ = static_cast<uint8_t*>(zero ? KoCalloc(size) : KoMalloc(size));
  if (!data_) return false;
  size_ = size;
  return true;
}

void CodecBuffer::Reset() {
  KoFree(data_);
  data_ = nullptr;
  size_ = 0;
}

// ---------------------------------------------------------------------------------------

CodecPropertyList::~CodecPropertyList() { Clear(); }

void CodecPropertyList::Clear() {
  for (uint32_t i = 0; i < count_; ++i) KoFree(items_[i].value);
  KoFree(items_);
  items_ = nullptr;
  count_ = capacity_ = 0;
  valueBytes_ = 0;
}

bool CodecPropertyList::Contains(uint32_t id) const {
  for (uint32_t i = 0; i < count_; ++i)
    if (items_[i].id == id) return true;
  return false;
}

GpStatus CodecPropertyList::Add(uint32_t id, uint16_t type, const void* value, uint32_t length) {
  if (Contains(id) || count_ >= kMaxPropertyItems || valueBytes_ + length > kMaxPropertyBytes) return Ok;
  if (count_ == capacity_) {
    const uint32_t grown = capacity_ ? capacity_ * 2 : 16;
    auto* items = static_cast<CodecProperty*>(KoMalloc(sizeof(CodecProperty) * grown));
    if (!items) return OutOfMemory;
    if (count_) std::memcpy(items, items_, sizeof(CodecProperty) * count_);
    KoFree(items_);
    items_ = items;
    capacity_ = grown;
  }
  uint8_t* copy = nullptr;
  if (length) {
    copy = static_cast<uint8_t*>(KoMalloc(length));
    if (!copy) return OutOfMemory;
    std::memcpy(copy, value, length);
  }
  items_[count_++] = CodecProperty{id, type, length, copy};
  valueBytes_ += length;
  return Ok;
}

// ---------------------------------------------------------------------------------------

uint32_t CodecImage::NativeBytesPerPixel() const {
  if (pixelFormat & PixelFormatIndexed) return 1;
  switch (pixelFormat) {
    case PixelFormat16bppGrayScale:
    case PixelFormat16bppRGB555:
    case PixelFormat16bppRGB565:
    case PixelFormat16bppARGB1555: return 2;
    case PixelFormat24bppRGB: return 3;
    case PixelFormat32bppRGB:
    case PixelFormat32bppARGB: return 4;
    case PixelFormat48bppRGB: return 6;
    case PixelFormat64bppARGB: return 8;
    default: return 0;
  }
}

GpStatus CodecImage::AllocatePixels(bool zero) {
  const uint32_t bpp = DecodeBytesPerPixel();
  if (bpp == 0) return NotImplemented;
  if (CheckDecodedSize(width, height, SIZE_MAX) != Ok) return ValueOverflow;
  if (external) {
    stride = externalStride;
    if (zero)
      for (uint32_t y = 0; y < height; ++y) std::memset(Row(y), 0, static_cast<size_t>(width) * bpp);
    return Ok;
  }
  stride = static_cast<size_t>(width) * bpp;
  if (!pixels.Allocate(stride * height, zero)) return OutOfMemory;
  return Ok;
}

void CodecImage::SetGreyPalette(uint32_t entries, bool inverted) {
  paletteCount = entries;
  paletteFlags = PaletteFlagsGrayScale;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint32_t level = entries > 1 ? (i * 255 + (entries - 1) / 2) / (entries - 1) : 0;
    const uint32_t g = inverted ? 255 - level : level;
    palette[i] = 0xFF000000u | (g << 16) | (g << 8) | g;
  }
}

// ---------------------------------------------------------------------------------------

ChannelMask MakeChannelMask(uint32_t mask) {
  ChannelMask c;
  c.mask = mask;
  if (!mask) return c;
  c.shift = static_cast<uint32_t>(__builtin_ctz(mask));
  c.bits = 32u - static_cast<uint32_t>(__builtin_clz(mask)) - c.shift;
  return c;
}

uint8_t ExpandChannel(uint32_t pixel, const ChannelMask& c, uint8_t absent) {
  if (!c.mask) return absent;
  const uint32_t v = (pixel & c.mask) >> c.shift;
  if (c.bits == 8) return static_cast<uint8_t>(v);
  if (c.bits < 8) {
    // Repeat the bits downwards from the top: 5 bits abcde become abcdeabc.
    uint32_t r = 0;
    for (int pos = 8 - static_cast<int>(c.bits); pos > -static_cast<int>(c.bits); pos -= static_cast<int>(c.bits))
      r |= pos >= 0 ? v << pos : v >> -pos;
    return static_cast<uint8_t>(r & 0xFF);
  }
  const uint64_t max = (uint64_t{1} << c.bits) - 1;
  return static_cast<uint8_t>((uint64_t{v} * 255 + max / 2) / max);
}

// ---------------------------------------------------------------------------------------

CodecKind DetectCodec(const uint8_t* d, size_t n) {
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (n >= 8 && std::memcmp(d, kPng, 8) == 0) return CodecKind::Png;
  if (n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return CodecKind::Jpeg;
  if (n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0)) return CodecKind::Gif;
  if (n >= 2 && d[0] == 'B' && d[1] == 'M') return CodecKind::Bmp;
  if (n >= 4 && ((d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0) ||
                 (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43))))
    return CodecKind::Tiff;
  return CodecKind::Unknown;
}

static GpStatus StatusFromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return FileNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return AccessDenied;
    case ENOMEM: return OutOfMemory;
    default: return Win32Error;
  }
}

GpStatus ReadWholeFile(const char16_t* name, CodecBuffer* out) {
  out->Reset();
  if (!name) return InvalidParameter;
  FILE* f = KoWideFopen(name, "rb");
  if (!f) return StatusFromErrno(errno);
  GpStatus status = Ok;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) {
    status = StatusFromErrno(errno);
  } else if (S_ISDIR(st.st_mode)) {
    status = AccessDenied;
  } else if (!S_ISREG(st.st_mode)) {
    status = UnknownImageFormat;  // a device or pipe is no image file
  } else if (static_cast<uint64_t>(st.st_size) > kMaxCodecFileBytes) {
    status = ValueOverflow;
  } else {
    const size_t size = static_cast<size_t>(st.st_size);
    if (!out->Allocate(size)) {
      status = OutOfMemory;
    } else if (size && std::fread(out->data(), 1, size, f) != size) {
      status = std::ferror(f) ? StatusFromErrno(errno) : GenericError;  // shrank while read
      out->Reset();
    }
  }
  std::fclose(f);
  if (status != Ok) out->Reset();
  return status;
}

}  // namespace ko
