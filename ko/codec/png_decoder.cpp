#include "ko/codec/png_decoder.h"

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <png.h>

#include "ko/codec/codec_properties.h"
#include "ko/codec/tiff_tags.h"
#include "ko/platform/memory.h"

namespace ko {
namespace {

constexpr size_t kMaxTextBytes = 1u << 20;
constexpr size_t kMaxProfileBytes = 4u << 20;
constexpr png_alloc_size_t kMaxChunkBytes = 8u << 20;

// Everything the libpng callbacks and the error exit need; plain data, so that a longjmp
// out of libpng leaves nothing to destroy.
struct PngContext {
  const uint8_t* data;
  size_t size;
  size_t pos;
  bool outOfMemory;
  png_bytep* rows;
  GpStatus failure;  // what a libpng error means at this point of the decode
};

void PngError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}

png_voidp PngMalloc(png_structp png, png_alloc_size_t size) {
  void* p = KoMalloc(size);
  if (!p) static_cast<PngContext*>(png_get_mem_ptr(png))->outOfMemory = true;
  return p;
}
void PngFree(png_structp, png_voidp p) { KoFree(p); }

void PngRead(png_structp png, png_bytep out, size_t length) {
  auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
  if (ctx->size - ctx->pos < length) png_error(png, "truncated");
  std::memcpy(out, ctx->data + ctx->pos, length);
  ctx->pos += length;
}

// The header fields into `image` (format and palette); false for a combination libpng
// would not have accepted.
bool DescribeImage(png_structp png, png_infop info, CodecImage* image) {
  const uint32_t depth = png_get_bit_depth(png, info);
  const uint32_t colorType = png_get_color_type(png, info);
  const bool trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  image->width = png_get_image_width(png, info);
  image->height = png_get_image_height(png, info);
  image->paletteCount = 0;
  image->paletteFlags = 0;
  // 8-bit RGB and grey without a transparent colour: libpng's filler (and grey expansion)
  // give the opaque 32-bit pixels a lock would convert them to.
  image->decodesOpaqueBgra =
      depth == 8 && !trns && (colorType == PNG_COLOR_TYPE_RGB || colorType == PNG_COLOR_TYPE_GRAY);
  switch (colorType) {
    case PNG_COLOR_TYPE_PALETTE: {
      image->pixelFormat = depth == 1 ? PixelFormat1bppIndexed : depth <= 4 ? PixelFormat4bppIndexed : PixelFormat8bppIndexed;
      png_colorp entries = nullptr;
      int count = 0;
      if (png_get_PLTE(png, info, &entries, &count) && count > 0) {
        image->paletteCount = static_cast<uint32_t>(count > 256 ? 256 : count);
        for (uint32_t i = 0; i < image->paletteCount; ++i)
          image->palette[i] = 0xFF000000u | (uint32_t{entries[i].red} << 16) | (uint32_t{entries[i].green} << 8) |
                              entries[i].blue;
      }
      png_bytep alpha = nullptr;
      int alphaCount = 0;
      if (trns && png_get_tRNS(png, info, &alpha, &alphaCount, nullptr) && alpha) {
        for (uint32_t i = 0; i < image->paletteCount && i < static_cast<uint32_t>(alphaCount); ++i) {
          image->palette[i] = (image->palette[i] & 0x00FFFFFFu) | (uint32_t{alpha[i]} << 24);
          if (alpha[i] != 255) image->paletteFlags |= PaletteFlagsHasAlpha;
        }
      }
      return true;
    }
    case PNG_COLOR_TYPE_GRAY:
      if (depth <= 8) {
        image->pixelFormat = depth == 1 ? PixelFormat1bppIndexed : depth <= 4 ? PixelFormat4bppIndexed : PixelFormat8bppIndexed;
        image->SetGreyPalette(1u << depth, false);
        png_color_16p key = nullptr;
        if (trns && png_get_tRNS(png, info, nullptr, nullptr, &key) && key && key->gray < image->paletteCount) {
          image->palette[key->gray] &= 0x00FFFFFFu;
          image->paletteFlags |= PaletteFlagsHasAlpha;
        }
        return true;
      }
      image->pixelFormat = trns ? PixelFormat64bppARGB : PixelFormat16bppGrayScale;
      return true;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB_ALPHA:
      image->pixelFormat = depth == 16 ? PixelFormat64bppARGB : PixelFormat32bppARGB;
      return true;
    case PNG_COLOR_TYPE_RGB:
      if (depth == 16) image->pixelFormat = trns ? PixelFormat64bppARGB : PixelFormat48bppRGB;
      else image->pixelFormat = trns ? PixelFormat32bppARGB : PixelFormat24bppRGB;
      return true;
    default: return false;
  }
}

// Transformations that turn libpng's rows into the layout of the reported format.
void SetTransforms(png_structp png, png_infop info, const CodecImage& image) {
  const uint32_t colorType = png_get_color_type(png, info);
  const uint32_t depth = png_get_bit_depth(png, info);
  if (image.decodeFormat == PixelFormat32bppARGB) {
    if (colorType == PNG_COLOR_TYPE_GRAY) png_set_gray_to_rgb(png);
    else png_set_bgr(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  } else if (image.pixelFormat & PixelFormatIndexed) {
    png_set_packing(png);  // one index per byte, values unscaled
  } else {
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
      if (image.pixelFormat != PixelFormat16bppGrayScale) png_set_gray_to_rgb(png);
    } else {
      png_set_bgr(png);
    }
    if (depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
  }
  png_set_interlace_handling(png);
}

// The one frame that calls setjmp: it holds only plain pointers.
GpStatus RunLibpng(PngContext* ctx, CodecImage* image, bool pixels) {
  png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, ctx, PngError, PngWarning, ctx, PngMalloc,
                                             PngFree);
  if (!png) return OutOfMemory;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return OutOfMemory;
  }
  ctx->failure = UnknownImageFormat;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    KoFree(ctx->rows);
    ctx->rows = nullptr;
    return ctx->outOfMemory ? OutOfMemory : ctx->failure;
  }
  png_set_read_fn(png, ctx, PngRead);
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);  // our own cap decides the size
  png_set_chunk_malloc_max(png, kMaxChunkBytes);
  png_set_chunk_cache_max(png, 1000);
  png_read_info(png, info);
  if (!DescribeImage(png, info, image)) png_error(png, "colour type");
  const GpStatus sized = CheckDecodedSize(image->width, image->height, ctx->size);
  if (sized != Ok || !pixels) {
    png_destroy_read_struct(&png, &info, nullptr);
    return sized;
  }

  ctx->failure = GenericError;  // from here on a libpng error is a failed decode
  SetTransforms(png, info, *image);
  png_read_update_info(png, info);
  if (image->decodeFormat != PixelFormatUndefined && !image->decodesOpaqueBgra) png_error(png, "layout");
  if (png_get_rowbytes(png, info) != size_t{image->width} * image->DecodeBytesPerPixel()) png_error(png, "layout");
  const GpStatus allocated = image->AllocatePixels();
  if (allocated != Ok) {
    png_destroy_read_struct(&png, &info, nullptr);
    return allocated;
  }
  ctx->rows = static_cast<png_bytep*>(KoMalloc(sizeof(png_bytep) * image->height));
  if (!ctx->rows) {
    ctx->outOfMemory = true;
    png_error(png, "rows");
  }
  for (uint32_t y = 0; y < image->height; ++y) ctx->rows[y] = image->Row(y);
  png_read_image(png, ctx->rows);
  png_destroy_read_struct(&png, &info, nullptr);
  KoFree(ctx->rows);
  ctx->rows = nullptr;
  return Ok;
}

// ---------------------------------------------------------------------------------------
// Metadata from our own walk over the chunks, so that those after the image data count too.

uint32_t BE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void PutRational(uint8_t* p, uint32_t num, uint32_t den) {
  std::memcpy(p, &num, 4);
  std::memcpy(p + 4, &den, 4);
}

uint32_t TextTag(const char* keyword, size_t n) {
  struct Map { const char* key; uint32_t tag; };
  static const Map kMap[] = {{"Title", tiff_tag::kPropertyTitle},
                             {"Author", tiff_tag::kArtist},
                             {"Description", tiff_tag::kImageDescription},
                             {"Copyright", tiff_tag::kCopyright},
                             {"Software", tiff_tag::kSoftware}};
  for (const Map& m : kMap)
    if (std::strlen(m.key) == n && std::memcmp(m.key, keyword, n) == 0) return m.tag;
  return 0;
}

GpStatus AddText(CodecPropertyList* list, uint32_t tag, const uint8_t* text, size_t n) {
  CodecBuffer copy;
  if (!copy.Allocate(n + 1)) return OutOfMemory;
  if (n) std::memcpy(copy.data(), text, n);
  copy.data()[n] = 0;
  return list->Add(tag, PropertyTagTypeASCII, copy.data(), static_cast<uint32_t>(n + 1));
}

// A zlib-compressed payload; corrupt or oversized ones are left out.
GpStatus AddInflated(CodecPropertyList* list, uint32_t tag, uint16_t type, const uint8_t* z, size_t n, size_t cap) {
  CodecBuffer out;
  bool oom = false;
  if (!InflateBounded(z, n, cap, &out, &oom)) return oom ? OutOfMemory : Ok;
  const size_t length = out.size() - 1;  // the buffer has room for a terminator
  if (type == PropertyTagTypeASCII) return list->Add(tag, type, out.data(), static_cast<uint32_t>(length + 1));
  return list->Add(tag, type, out.data(), static_cast<uint32_t>(length));
}

GpStatus AddChunk(const char* type, const uint8_t* c, size_t n, CodecPropertyList* list) {
  if (std::memcmp(type, "gAMA", 4) == 0 && n == 4) {
    uint8_t v[8];
    PutRational(v, 100000, BE32(c));
    return list->Add(tiff_tag::kPropertyGamma, PropertyTagTypeRational, v, 8);
  }
  if (std::memcmp(type, "cHRM", 4) == 0 && n == 32) {
    uint8_t white[16], primaries[48];
    for (int i = 0; i < 2; ++i) PutRational(white + 8 * i, BE32(c + 4 * i), 100000);
    for (int i = 0; i < 6; ++i) PutRational(primaries + 8 * i, BE32(c + 8 + 4 * i), 100000);
    const GpStatus s = list->Add(tiff_tag::kWhitePoint, PropertyTagTypeRational, white, 16);
    return s != Ok ? s : list->Add(tiff_tag::kPrimaryChromaticities, PropertyTagTypeRational, primaries, 48);
  }
  if (std::memcmp(type, "pHYs", 4) == 0 && n == 9) {
    const uint32_t x = BE32(c), y = BE32(c + 4);
    GpStatus s = list->Add(tiff_tag::kPropertyPixelUnit, PropertyTagTypeByte, c + 8, 1);
    if (s == Ok) s = list->Add(tiff_tag::kPropertyPixelPerUnitX, PropertyTagTypeLong, &x, 4);
    if (s == Ok) s = list->Add(tiff_tag::kPropertyPixelPerUnitY, PropertyTagTypeLong, &y, 4);
    return s;
  }
  if (std::memcmp(type, "tIME", 4) == 0 && n == 7) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u:%02u:%02u %02u:%02u:%02u", (c[0] << 8) | c[1], c[2] % 100u, c[3] % 100u,
                  c[4] % 100u, c[5] % 100u, c[6] % 100u);
    return list->Add(tiff_tag::kDateTime, PropertyTagTypeASCII, text, 20);
  }
  if (std::memcmp(type, "eXIf", 4) == 0) {
    if (n >= 6 && std::memcmp(c, "Exif\0\0", 6) == 0) return AddTiffProperties(c + 6, n - 6, list);
    return AddTiffProperties(c, n, list);
  }
  const uint8_t* end = c + n;
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(c, 0, n));
  if (!nul) return Ok;
  const size_t keyLength = static_cast<size_t>(nul - c);
  if (std::memcmp(type, "iCCP", 4) == 0) {
    if (end - nul < 2 || nul[1] != 0) return Ok;
    return AddInflated(list, tiff_tag::kIccProfile, PropertyTagTypeUndefined, nul + 2,
                       static_cast<size_t>(end - nul - 2), kMaxProfileBytes);
  }
  const uint32_t tag = TextTag(reinterpret_cast<const char*>(c), keyLength);
  if (!tag) return Ok;
  if (std::memcmp(type, "tEXt", 4) == 0) return AddText(list, tag, nul + 1, static_cast<size_t>(end - nul - 1));
  if (std::memcmp(type, "zTXt", 4) == 0) {
    if (end - nul < 2 || nul[1] != 0) return Ok;
    return AddInflated(list, tag, PropertyTagTypeASCII, nul + 2, static_cast<size_t>(end - nul - 2), kMaxTextBytes);
  }
  if (std::memcmp(type, "iTXt", 4) == 0) {
    // keyword NUL, compression flag, method, language NUL, translated keyword NUL, text
    if (end - nul < 3) return Ok;
    const bool compressed = nul[1] != 0;
    if (compressed && nul[2] != 0) return Ok;
    const uint8_t* p = nul + 3;
    const uint8_t* lang = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    if (!lang) return Ok;
    p = lang + 1;
    const uint8_t* translated = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    if (!translated) return Ok;
    p = translated + 1;
    if (compressed)
      return AddInflated(list, tag, PropertyTagTypeASCII, p, static_cast<size_t>(end - p), kMaxTextBytes);
    return AddText(list, tag, p, static_cast<size_t>(end - p));
  }
  return Ok;
}

GpStatus AddPngProperties(const uint8_t* d, size_t n, CodecPropertyList* list) {
  size_t p = 8;
  while (n - p >= 12) {
    const uint32_t length = BE32(d + p);
    char type[4];
    std::memcpy(type, d + p + 4, 4);
    if (length > n - p - 12) break;
    const GpStatus s = AddChunk(type, d + p + 8, length, list);
    if (s != Ok) return s;
    if (std::memcmp(type, "IEND", 4) == 0) break;
    p += 12 + size_t{length};
  }
  return Ok;
}

// The bytes libpng is given: up to the end of IEND, or up to the first chunk other than
// image data that claims more bytes than the file has left. libpng allocates a chunk's whole declared length
// before reading it (even after warning that it is too large), so a cut or lying length
// must not reach it.
size_t UsableLength(const uint8_t* d, size_t n) {
  if (n < 8) return n;
  size_t p = 8;
  // A chunk whose length and type are there but not its whole body (also when fewer than
  // its 12 framing bytes are left) is cut, as is any chunk that claims more than is left.
  while (n - p >= 8) {
    const uint32_t length = BE32(d + p);
    // Image data is streamed, not buffered: a cut IDAT fails later, when decoded.
    if (n - p < 12 || length > n - p - 12) return std::memcmp(d + p + 4, "IDAT", 4) == 0 ? n : p;
    p += 12 + size_t{length};
    if (std::memcmp(d + p - length - 8, "IEND", 4) == 0) return p;
  }
  return n;
}

}  // namespace

GpStatus ReadPngHeader(const uint8_t* data, size_t size, CodecImage* image) {
  PngContext ctx{data, UsableLength(data, size), 0, false, nullptr, Ok};
  const GpStatus status = RunLibpng(&ctx, image, false);
  if (status != Ok) return status;
  return AddPngProperties(data, size, &image->properties);
}

GpStatus DecodePngPixels(const uint8_t* data, size_t size, CodecImage* image) {
  PngContext ctx{data, UsableLength(data, size), 0, false, nullptr, Ok};
  return RunLibpng(&ctx, image, true);
}

}  // namespace ko
