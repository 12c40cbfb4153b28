// What the file decoders behind the imaging stand-ins produce: the image's size, its pixel
// format in the codec layer's numbering, palette, property items and, once decoded, its
// pixels in the layout of that format. Shared by the PNG, JPEG, GIF, BMP and TIFF decoders.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ko {

// Status codes of the codec layer (the values its callers test).
enum GpStatus : int32_t {
  Ok = 0,
  GenericError = 1,
  InvalidParameter = 2,
  OutOfMemory = 3,
  ObjectBusy = 4,
  InsufficientBuffer = 5,
  NotImplemented = 6,
  Win32Error = 7,
  WrongState = 8,
  Aborted = 9,
  FileNotFound = 10,
  ValueOverflow = 11,
  AccessDenied = 12,
  UnknownImageFormat = 13,
  GdiplusNotInitialized = 18,
};

// Pixel-format values: bits 0-7 an index, 8-15 bits per pixel, 16-31 flags.
constexpr int32_t PixelFormatIndexed = 0x00010000;
constexpr int32_t PixelFormatGDI = 0x00020000;
constexpr int32_t PixelFormatAlpha = 0x00040000;
constexpr int32_t PixelFormatPAlpha = 0x00080000;
constexpr int32_t PixelFormatExtended = 0x00100000;
constexpr int32_t PixelFormatCanonical = 0x00200000;

constexpr int32_t PixelFormatUndefined = 0;
constexpr int32_t PixelFormat1bppIndexed = 0x00030101;
constexpr int32_t PixelFormat4bppIndexed = 0x00030402;
constexpr int32_t PixelFormat8bppIndexed = 0x00030803;
constexpr int32_t PixelFormat16bppGrayScale = 0x00101004;
constexpr int32_t PixelFormat16bppRGB555 = 0x00021005;
constexpr int32_t PixelFormat16bppRGB565 = 0x00021006;
constexpr int32_t PixelFormat16bppARGB1555 = 0x00061007;
constexpr int32_t PixelFormat24bppRGB = 0x00021808;
constexpr int32_t PixelFormat32bppRGB = 0x00022009;
constexpr int32_t PixelFormat32bppARGB = 0x0026200A;
constexpr int32_t PixelFormat32bppPARGB = 0x000E200B;
constexpr int32_t PixelFormat48bppRGB = 0x0010300C;
constexpr int32_t PixelFormat64bppARGB = 0x0034400D;

constexpr uint32_t GetPixelFormatSize(int32_t format) { return (static_cast<uint32_t>(format) >> 8) & 0xFF; }

// Palette flags.
constexpr uint32_t PaletteFlagsHasAlpha = 1;
constexpr uint32_t PaletteFlagsGrayScale = 2;

// Property item types.
enum : uint16_t {
  PropertyTagTypeByte = 1,
  PropertyTagTypeASCII = 2,
  PropertyTagTypeShort = 3,
  PropertyTagTypeLong = 4,
  PropertyTagTypeRational = 5,
  PropertyTagTypeUndefined = 7,
  PropertyTagTypeSLONG = 9,
  PropertyTagTypeSRational = 10,
};

// Limits on what one file may make us allocate. A decoded image may hold at most
// kMaxCodecPixels pixels, and more than kSmallImagePixels only when the file has at least
// one byte per kMaxPixelsPerFileByte pixels: real photographs stay far below that ratio
// (a flat 12-megapixel JPEG or PNG needs about 1 byte per 200 pixels), while a few hostile
// bytes cannot declare a gigabyte image.
constexpr uint64_t kMaxCodecPixels = uint64_t{1} << 27;       // 134 million pixels
constexpr uint64_t kSmallImagePixels = uint64_t{1} << 24;     // 16.7 million pixels
constexpr uint64_t kMaxPixelsPerFileByte = 4096;
constexpr uint64_t kMaxCodecFileBytes = uint64_t{1} << 30;    // files are read whole
constexpr uint32_t kMaxPropertyItems = 4096;
constexpr uint32_t kMaxPropertyBytes = 16u << 20;

// Ok, or ValueOverflow when an image of that size may not be decoded from `fileBytes`
// bytes (zero width or height is UnknownImageFormat).
GpStatus CheckDecodedSize(uint64_t width, uint64_t height, size_t fileBytes);

// A byte buffer from the library heap; empty after a failed allocation.
class CodecBuffer {
 public:
  CodecBuffer() = default;
  ~CodecBuffer();
  CodecBuffer(const CodecBuffer&) = delete;
  CodecBuffer& operator=(const CodecBuffer&) = delete;
  CodecBuffer(CodecBuffer&& other) noexcept;
  CodecBuffer& operator=(CodecBuffer&& other) noexcept;

  // Uninitialised (zeroed when `zero`) bytes; false on failure or overflow.
  bool Allocate(size_t size, bool zero = false);
  void Reset();
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

struct CodecProperty {
  uint32_t id = 0;
  uint16_t type = 0;
  uint32_t length = 0;
  uint8_t* value = nullptr;  // owned by the list
};

// Property items in the order they were found; a second item with an id already listed
// is dropped (ids are unique, the first occurrence wins).
class CodecPropertyList {
 public:
  CodecPropertyList() = default;
  ~CodecPropertyList();
  CodecPropertyList(const CodecPropertyList&) = delete;
  CodecPropertyList& operator=(const CodecPropertyList&) = delete;

  // Ok (also when dropped as a duplicate or beyond the caps) or OutOfMemory.
  GpStatus Add(uint32_t id, uint16_t type, const void* value, uint32_t length);
  bool Contains(uint32_t id) const;
  void Clear();
  uint32_t count() const { return count_; }
  const CodecProperty& at(uint32_t i) const { return items_[i]; }
  uint64_t valueBytes() const { return valueBytes_; }

 private:
  CodecProperty* items_ = nullptr;
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  uint64_t valueBytes_ = 0;
};

// A decoded (or, before DecodePixels, only described) image. Pixel layouts by format:
// indexed formats one index byte per pixel whatever their bit depth; 16bppGrayScale one
// uint16 per pixel; the three 16-bit RGB formats one uint16 per pixel read through `masks`;
// 24bppRGB blue, green, red bytes; 32bppRGB blue, green, red, unused; 32bppARGB blue,
// green, red, alpha (not premultiplied); 48bppRGB and 64bppARGB the same orders in uint16.
// 16-bit samples are in host order.
struct CodecImage {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t pixelFormat = PixelFormatUndefined;
  uint32_t paletteFlags = 0;
  uint32_t paletteCount = 0;
  uint32_t palette[256] = {};  // 0xAARRGGBB
  uint32_t masks[4] = {};      // red, green, blue, alpha of the 16-bit RGB formats
  CodecPropertyList properties;

  CodecBuffer pixels;
  size_t stride = 0;
  // When set before decoding, the decoder writes into this memory of the caller's instead
  // (rows `externalStride` apart, at least a row of the layout each).
  uint8_t* external = nullptr;
  size_t externalStride = 0;
  // Set by the header reader when the decoder can itself write every pixel as the four
  // bytes blue, green, red, 255 that a 32bppARGB or 32bppRGB lock makes of it (images
  // without alpha only), saving the conversion pass.
  bool decodesOpaqueBgra = false;
  // The layout DecodePixels writes: PixelFormatUndefined for the one above, or (only when
  // decodesOpaqueBgra) PixelFormat32bppARGB with alpha 255.
  int32_t decodeFormat = PixelFormatUndefined;

  // Bytes one pixel takes in the layout above.
  uint32_t NativeBytesPerPixel() const;
  // Bytes one pixel takes in the layout DecodePixels writes.
  uint32_t DecodeBytesPerPixel() const { return decodeFormat == PixelFormat32bppARGB ? 4 : NativeBytesPerPixel(); }
  // Allocates `pixels` for the decoded layout (rows not padded), or takes the external
  // memory; OutOfMemory or ValueOverflow.
  GpStatus AllocatePixels(bool zero = false);
  uint8_t* Row(uint32_t y) const { return (external ? external : pixels.data()) + static_cast<size_t>(y) * stride; }

  void SetGreyPalette(uint32_t entries, bool inverted);
};

enum class CodecKind { Unknown, Png, Jpeg, Gif, Bmp, Tiff };

// The decoder a file's first bytes call for.
CodecKind DetectCodec(const uint8_t* data, size_t size);

// Reads a file whole (at most kMaxCodecFileBytes) into `out`: Ok, FileNotFound,
// AccessDenied, OutOfMemory, ValueOverflow or Win32Error.
GpStatus ReadWholeFile(const char16_t* name, CodecBuffer* out);

// One channel of a bit-field pixel (16-bit RGB formats, BMP bit fields).
struct ChannelMask {
  uint32_t mask = 0;
  uint32_t shift = 0;
  uint32_t bits = 0;  // from the lowest to the highest set bit
};
ChannelMask MakeChannelMask(uint32_t mask);
// The channel of `pixel` widened to 8 bits: by bit replication up to 8 bits, by rounding
// v * 255 / (2^bits - 1) beyond; `absent` when the mask is empty.
uint8_t ExpandChannel(uint32_t pixel, const ChannelMask& channel, uint8_t absent);

// 16-bit sample to 8 bits, v * 255 / 65535 rounded to nearest.
inline uint8_t Round16To8(uint32_t v) { return static_cast<uint8_t>((v * 255u + 32767u) / 65535u); }

}  // namespace ko
