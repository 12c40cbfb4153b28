#include "ko/codec/bmp_decoder.h"

#include <cstring>

#include "ko/platform/byte_order.h"

namespace ko {
namespace {

enum : uint32_t { kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiAlphaBitfields = 6 };

struct BmpLayout {
  uint32_t width = 0;
  uint32_t height = 0;
  bool topDown = false;
  uint32_t bitCount = 0;
  uint32_t compression = kBiRgb;
  uint32_t masks[4] = {};  // red, green, blue, alpha
  size_t paletteOffset = 0;
  uint32_t paletteEntrySize = 4;
  uint32_t paletteCount = 0;
  size_t pixelOffset = 0;
};

GpStatus ParseLayout(const uint8_t* d, size_t n, BmpLayout* out) {
  BmpLayout L;
  if (n < 18 || d[0] != 'B' || d[1] != 'M') return UnknownImageFormat;
  const uint32_t headerSize = GetLE32(d + 14);
  if (headerSize != 12 && headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 64 &&
      headerSize != 108 && headerSize != 124)
    return UnknownImageFormat;
  if (n < 14u + headerSize) return UnknownImageFormat;
  const uint8_t* h = d + 14;
  size_t afterHeader = 14u + headerSize;
  int64_t height = 0;
  if (headerSize == 12) {
    L.width = GetLE16(h + 4);
    height = GetLE16(h + 6);
    L.bitCount = GetLE16(h + 10);
    L.paletteEntrySize = 3;
  } else {
    const int32_t w = static_cast<int32_t>(GetLE32(h + 4));
    if (w <= 0) return UnknownImageFormat;
    L.width = static_cast<uint32_t>(w);
    height = static_cast<int32_t>(GetLE32(h + 8));
    L.bitCount = GetLE16(h + 14);
    L.compression = GetLE32(h + 16);
    if (headerSize == 64 && L.compression >= 3) return UnknownImageFormat;  // OS/2 Huffman, RLE24
    const uint32_t colorsUsed = GetLE32(h + 32);
    if (L.bitCount <= 8) L.paletteCount = colorsUsed;
    if (L.compression == kBiBitfields || L.compression == kBiAlphaBitfields) {
      const uint32_t maskCount = L.compression == kBiAlphaBitfields ? 4 : 3;
      if (headerSize >= 52) {
        // The masks are part of the header (V2 and later); V3 and later add alpha.
        for (uint32_t i = 0; i < 3; ++i) L.masks[i] = GetLE32(h + 40 + 4 * i);
        if (headerSize >= 56) L.masks[3] = GetLE32(h + 52);
      } else {
        if (n < afterHeader + 4 * maskCount) return UnknownImageFormat;
        for (uint32_t i = 0; i < maskCount; ++i) L.masks[i] = GetLE32(d + afterHeader + 4 * i);
        afterHeader += 4 * maskCount;
      }
    }
  }
  if (height == 0 || L.width == 0) return UnknownImageFormat;
  L.topDown = height < 0;
  L.height = static_cast<uint32_t>(height < 0 ? -height : height);

  switch (L.compression) {
    case kBiRgb:
      if (L.bitCount != 1 && L.bitCount != 4 && L.bitCount != 8 && L.bitCount != 16 && L.bitCount != 24 &&
          L.bitCount != 32)
        return UnknownImageFormat;
      if (L.bitCount == 16) {
        L.masks[0] = 0x7C00;
        L.masks[1] = 0x03E0;
        L.masks[2] = 0x001F;
      } else if (L.bitCount == 32) {
        L.masks[0] = 0x00FF0000;
        L.masks[1] = 0x0000FF00;
        L.masks[2] = 0x000000FF;
      }
      break;
    case kBiRle8:
      if (L.bitCount != 8) return UnknownImageFormat;
      break;
    case kBiRle4:
      if (L.bitCount != 4) return UnknownImageFormat;
      break;
    case kBiBitfields:
    case kBiAlphaBitfields:
      if (L.bitCount != 16 && L.bitCount != 32) return UnknownImageFormat;
      break;
    default: return UnknownImageFormat;  // embedded JPEG or PNG, CMYK variants
  }
  if (L.bitCount == 16)
    for (uint32_t& m : L.masks) m &= 0xFFFF;

  L.paletteOffset = afterHeader;
  if (L.bitCount <= 8) {
    const uint32_t full = 1u << L.bitCount;
    if (L.paletteCount == 0 || L.paletteCount > full) L.paletteCount = full;
  } else {
    L.paletteCount = 0;  // an optional optimisation palette, not needed
  }
  const size_t paletteBytes = static_cast<size_t>(L.paletteCount) * L.paletteEntrySize;
  const size_t declaredOffset = GetLE32(d + 10);
  // A palette that runs into the pixel data is cut where the pixels begin.
  if (declaredOffset > L.paletteOffset && declaredOffset < L.paletteOffset + paletteBytes)
    L.paletteCount = static_cast<uint32_t>((declaredOffset - L.paletteOffset) / L.paletteEntrySize);
  if (L.paletteOffset + static_cast<size_t>(L.paletteCount) * L.paletteEntrySize > n) return UnknownImageFormat;
  const size_t defaultOffset = L.paletteOffset + static_cast<size_t>(L.paletteCount) * L.paletteEntrySize;
  L.pixelOffset = declaredOffset >= defaultOffset ? declaredOffset : defaultOffset;
  *out = L;
  return Ok;
}

int32_t FormatOf(const BmpLayout& L) {
  switch (L.bitCount) {
    case 1: return PixelFormat1bppIndexed;
    case 4: return PixelFormat4bppIndexed;
    case 8: return PixelFormat8bppIndexed;
    case 16:
      if (L.masks[3]) return PixelFormat16bppARGB1555;
      if (L.masks[0] == 0xF800 && L.masks[1] == 0x07E0 && L.masks[2] == 0x001F) return PixelFormat16bppRGB565;
      return PixelFormat16bppRGB555;
    case 24: return PixelFormat24bppRGB;
    default: return L.masks[3] ? PixelFormat32bppARGB : PixelFormat32bppRGB;
  }
}

// RLE8 and RLE4: runs and absolute runs are clipped at the row's end, moves past the last
// row and the end-of-bitmap code stop, and the end of the data is taken as the end.
void DecodeRle(const uint8_t* d, size_t n, const BmpLayout& L, CodecImage* image) {
  const bool four = L.compression == kBiRle4;
  size_t p = L.pixelOffset;
  uint64_t x = 0, y = 0;  // y counts rows in file order
  auto row = [&](uint64_t fileRow) {
    return image->Row(L.topDown ? static_cast<uint32_t>(fileRow) : L.height - 1 - static_cast<uint32_t>(fileRow));
  };
  while (p + 2 <= n && y < L.height) {
    const uint32_t count = d[p];
    const uint32_t value = d[p + 1];
    p += 2;
    if (count > 0) {
      if (x < L.width) {
        uint8_t* out = row(y);
        const uint64_t m = count < L.width - x ? count : L.width - x;
        for (uint64_t i = 0; i < m; ++i) out[x + i] = four ? ((i & 1) ? value & 15 : value >> 4) : value;
      }
      x += count;
      continue;
    }
    if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      return;
    } else if (value == 2) {
      if (p + 2 > n) return;
      x += d[p];
      y += d[p + 1];
      p += 2;
    } else {
      const size_t bytes = four ? (value + 1) / 2 : value;
      const size_t available = n - p < bytes ? n - p : bytes;
      const uint64_t pixels = four ? (available * 2 < value ? available * 2 : value) : available;
      if (x < L.width) {
        uint8_t* out = row(y);
        const uint64_t m = pixels < L.width - x ? pixels : L.width - x;
        for (uint64_t i = 0; i < m; ++i) out[x + i] = four ? ((i & 1) ? d[p + i / 2] & 15 : d[p + i / 2] >> 4) : d[p + i];
      }
      x += value;
      if (available < bytes) return;
      p += (bytes + 1) & ~size_t{1};  // absolute runs are padded to 16 bits
    }
  }
}

}  // namespace

GpStatus ReadBmpHeader(const uint8_t* data, size_t size, CodecImage* image) {
  BmpLayout L;
  const GpStatus status = ParseLayout(data, size, &L);
  if (status != Ok) return status;
  const GpStatus sized = CheckDecodedSize(L.width, L.height, size);
  if (sized != Ok) return sized;
  image->width = L.width;
  image->height = L.height;
  image->pixelFormat = FormatOf(L);
  std::memcpy(image->masks, L.masks, sizeof L.masks);
  image->paletteCount = L.paletteCount;
  image->paletteFlags = 0;
  for (uint32_t i = 0; i < L.paletteCount; ++i) {
    const uint8_t* e = data + L.paletteOffset + static_cast<size_t>(i) * L.paletteEntrySize;
    image->palette[i] = 0xFF000000u | (uint32_t{e[2]} << 16) | (uint32_t{e[1]} << 8) | e[0];
  }
  return Ok;
}

GpStatus DecodeBmpPixels(const uint8_t* data, size_t size, CodecImage* image) {
  BmpLayout L;
  const GpStatus status = ParseLayout(data, size, &L);
  if (status != Ok) return status;
  const bool rle = L.compression == kBiRle8 || L.compression == kBiRle4;
  const GpStatus allocated = image->AllocatePixels(rle);
  if (allocated != Ok) return allocated;
  if (rle) {
    DecodeRle(data, size, L, image);
    return Ok;
  }

  const uint64_t rowBytes = (uint64_t{L.width} * L.bitCount + 31) / 32 * 4;
  if (L.pixelOffset > size || (size - L.pixelOffset) / rowBytes < L.height) return GenericError;
  const bool plain32 = L.bitCount == 32 && L.masks[0] == 0x00FF0000 && L.masks[1] == 0x0000FF00 &&
                       L.masks[2] == 0x000000FF && (L.masks[3] == 0 || L.masks[3] == 0xFF000000u);
  const ChannelMask channels[4] = {MakeChannelMask(L.masks[0]), MakeChannelMask(L.masks[1]),
                                   MakeChannelMask(L.masks[2]), MakeChannelMask(L.masks[3])};
  for (uint32_t r = 0; r < L.height; ++r) {
    const uint8_t* in = data + L.pixelOffset + r * rowBytes;
    uint8_t* out = image->Row(L.topDown ? r : L.height - 1 - r);
    switch (L.bitCount) {
      case 1:
        for (uint32_t x = 0; x < L.width; ++x) out[x] = (in[x >> 3] >> (7 - (x & 7))) & 1;
        break;
      case 4:
        for (uint32_t x = 0; x < L.width; ++x) out[x] = (x & 1) ? in[x >> 1] & 15 : in[x >> 1] >> 4;
        break;
      case 8: std::memcpy(out, in, L.width); break;
      case 16:
        for (uint32_t x = 0; x < L.width; ++x) {
          const uint16_t v = GetLE16(in + 2 * x);
          std::memcpy(out + 2 * x, &v, 2);
        }
        break;
      case 24: std::memcpy(out, in, size_t{L.width} * 3); break;
      default:
        if (plain32) {
          std::memcpy(out, in, size_t{L.width} * 4);
        } else {
          for (uint32_t x = 0; x < L.width; ++x) {
            const uint32_t v = GetLE32(in + 4 * x);
            out[4 * x + 0] = ExpandChannel(v, channels[2], 0);
            out[4 * x + 1] = ExpandChannel(v, channels[1], 0);
            out[4 * x + 2] = ExpandChannel(v, channels[0], 0);
            out[4 * x + 3] = ExpandChannel(v, channels[3], 255);
          }
        }
        break;
    }
  }
  return Ok;
}

}  // namespace ko
