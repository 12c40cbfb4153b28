#include "ko/codec/gdiplus_bitmap.h"

#include <cstring>

#include "ko/codec/bmp_decoder.h"
#include "ko/codec/gif_decoder.h"
#include "ko/codec/jpeg_decoder.h"
#include "ko/codec/png_decoder.h"
#include "ko/codec/tiff_decoder.h"
#include "ko/platform/memory.h"
#include "ko/platform/platform_services.h"

namespace ko {

struct GpImage::State {
  CodecBuffer file;
  CodecKind kind = CodecKind::Unknown;
  CodecImage image;
  bool decodeTried = false;
  GpStatus decodeStatus = Ok;
  bool locked = false;
  CodecBuffer lockBuffer;  // flags without ImageLockModeUserInputBuf
};

namespace {

GpStatus ReadHeader(GpImage::State* s) {
  const uint8_t* d = s->file.data();
  const size_t n = s->file.size();
  switch (s->kind) {
    case CodecKind::Png: return ReadPngHeader(d, n, &s->image);
    case CodecKind::Jpeg: return ReadJpegHeader(d, n, &s->image);
    case CodecKind::Gif: return ReadGifHeader(d, n, &s->image);
    case CodecKind::Bmp: return ReadBmpHeader(d, n, &s->image);
    case CodecKind::Tiff: return ReadTiffHeader(d, n, &s->image);
    default: return UnknownImageFormat;
  }
}

GpStatus DecodePixels(GpImage::State* s) {
  const uint8_t* d = s->file.data();
  const size_t n = s->file.size();
  switch (s->kind) {
    case CodecKind::Png: return DecodePngPixels(d, n, &s->image);
    case CodecKind::Jpeg: return DecodeJpegPixels(d, n, &s->image);
    case CodecKind::Gif: return DecodeGifPixels(d, n, &s->image);
    case CodecKind::Bmp: return DecodeBmpPixels(d, n, &s->image);
    case CodecKind::Tiff: return DecodeTiffPixels(d, n, &s->image);
    default: return GenericError;
  }
}

GpStatus MakeBitmap(CodecBuffer&& file, GpBitmap** bitmap) {
  auto* state = KoNew<GpImage::State>();
  if (!state) return OutOfMemory;
  state->file = static_cast<CodecBuffer&&>(file);
  state->kind = DetectCodec(state->file.data(), state->file.size());
  GpStatus status = ReadHeader(state);
  // What was announced must be what the pixels will be laid out as.
  if (status == Ok && state->image.NativeBytesPerPixel() == 0) status = UnknownImageFormat;
  if (status != Ok) {
    delete state;
    return status;
  }
  auto* b = KoNew<GpBitmap>();
  if (!b) {
    delete state;
    return OutOfMemory;
  }
  b->state = state;
  *bitmap = b;
  return Ok;
}

// ---------------------------------------------------------------------------------------
// Lock conversions: one run of native pixels into the requested layout.

uint32_t PaletteColor(const CodecImage& img, uint8_t index) {
  return index < img.paletteCount ? img.palette[index] : 0xFF000000u;  // missing entries are black
}

// Native pixel x of `row` as blue, green, red, alpha bytes.
void ToBgra(const CodecImage& img, const ChannelMask* masks, const uint8_t* row, uint32_t x, uint8_t* out) {
  switch (img.pixelFormat) {
    case PixelFormat16bppGrayScale: {
      uint16_t v;
      std::memcpy(&v, row + 2 * size_t{x}, 2);
      out[0] = out[1] = out[2] = Round16To8(v);
      out[3] = 255;
      return;
    }
    case PixelFormat16bppRGB555:
    case PixelFormat16bppRGB565:
    case PixelFormat16bppARGB1555: {
      uint16_t v;
      std::memcpy(&v, row + 2 * size_t{x}, 2);
      out[0] = ExpandChannel(v, masks[2], 0);
      out[1] = ExpandChannel(v, masks[1], 0);
      out[2] = ExpandChannel(v, masks[0], 0);
      out[3] = ExpandChannel(v, masks[3], 255);
      return;
    }
    case PixelFormat24bppRGB:
      std::memcpy(out, row + 3 * size_t{x}, 3);
      out[3] = 255;
      return;
    case PixelFormat32bppRGB:
      std::memcpy(out, row + 4 * size_t{x}, 3);
      out[3] = 255;
      return;
    case PixelFormat32bppARGB: std::memcpy(out, row + 4 * size_t{x}, 4); return;
    case PixelFormat48bppRGB:
    case PixelFormat64bppARGB: {
      const bool alpha = img.pixelFormat == PixelFormat64bppARGB;
      uint16_t v[4] = {0, 0, 0, 65535};
      std::memcpy(v, row + (alpha ? 8 : 6) * size_t{x}, alpha ? 8 : 6);
      for (int i = 0; i < 4; ++i) out[i] = Round16To8(v[i]);
      return;
    }
    default: {  // indexed
      const uint32_t c = PaletteColor(img, row[x]);
      out[0] = static_cast<uint8_t>(c);
      out[1] = static_cast<uint8_t>(c >> 8);
      out[2] = static_cast<uint8_t>(c >> 16);
      out[3] = static_cast<uint8_t>(c >> 24);
      return;
    }
  }
}

void ConvertRun(const CodecImage& img, uint32_t y, uint32_t x0, uint32_t width, int32_t format, uint8_t* out) {
  const uint8_t* row = img.Row(y);
  const uint32_t nativeBpp = img.NativeBytesPerPixel();
  if (format == img.pixelFormat || (format == PixelFormat8bppIndexed && (img.pixelFormat & PixelFormatIndexed))) {
    std::memcpy(out, row + size_t{x0} * nativeBpp, size_t{width} * nativeBpp);
    return;
  }
  const ChannelMask masks[4] = {MakeChannelMask(img.masks[0]), MakeChannelMask(img.masks[1]),
                                MakeChannelMask(img.masks[2]), MakeChannelMask(img.masks[3])};
  const uint32_t outBpp = GetPixelFormatSize(format) / 8;
  uint8_t bgra[4];
  for (uint32_t i = 0; i < width; ++i, out += outBpp) {
    ToBgra(img, masks, row, x0 + i, bgra);
    if (format == PixelFormat32bppRGB) bgra[3] = 255;
    std::memcpy(out, bgra, outBpp);  // 24bppRGB drops alpha
  }
}

bool CanLockAs(const CodecImage& img, int32_t format) {
  if (format == PixelFormat32bppARGB || format == PixelFormat32bppRGB || format == PixelFormat24bppRGB) return true;
  if (format == PixelFormat8bppIndexed) return (img.pixelFormat & PixelFormatIndexed) != 0;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------

GpStatus GdipCreateBitmapFromFile(const char16_t* filename, GpBitmap** bitmap) {
  if (!filename || !bitmap) return InvalidParameter;
  *bitmap = nullptr;
  if (GdiplusActiveCount() <= 0) return GdiplusNotInitialized;
  CodecBuffer file;
  const GpStatus read = ReadWholeFile(filename, &file);
  if (read != Ok) return read;
  return MakeBitmap(static_cast<CodecBuffer&&>(file), bitmap);
}

GpStatus GdipCreateBitmapFromMemory(const void* data, size_t size, GpBitmap** bitmap) {
  if ((!data && size) || !bitmap) return InvalidParameter;
  *bitmap = nullptr;
  if (GdiplusActiveCount() <= 0) return GdiplusNotInitialized;
  if (size > kMaxCodecFileBytes) return ValueOverflow;
  CodecBuffer file;
  if (!file.Allocate(size)) return OutOfMemory;
  if (size) std::memcpy(file.data(), data, size);
  return MakeBitmap(static_cast<CodecBuffer&&>(file), bitmap);
}

GpStatus GdipDisposeImage(GpImage* image) {
  if (!image) return InvalidParameter;
  delete image->state;
  delete static_cast<GpBitmap*>(image);
  return Ok;
}

GpStatus GdipGetImageWidth(GpImage* image, uint32_t* width) {
  if (!image || !width) return InvalidParameter;
  *width = image->state->image.width;
  return Ok;
}

GpStatus GdipGetImageHeight(GpImage* image, uint32_t* height) {
  if (!image || !height) return InvalidParameter;
  *height = image->state->image.height;
  return Ok;
}

GpStatus GdipGetImagePixelFormat(GpImage* image, int32_t* format) {
  if (!image || !format) return InvalidParameter;
  *format = image->state->image.pixelFormat;
  return Ok;
}

GpStatus GdipGetImagePaletteSize(GpImage* image, int32_t* size) {
  if (!image || !size) return InvalidParameter;
  const uint32_t bytes = 8 + 4 * image->state->image.paletteCount;
  *size = static_cast<int32_t>(bytes < sizeof(ColorPalette) ? sizeof(ColorPalette) : bytes);
  return Ok;
}

GpStatus GdipGetImagePalette(GpImage* image, ColorPalette* palette, int32_t size) {
  if (!image || !palette) return InvalidParameter;
  const CodecImage& img = image->state->image;
  if (size < 0 || static_cast<uint32_t>(size) < 8 + 4 * img.paletteCount) return InvalidParameter;
  palette->Flags = img.paletteFlags;
  palette->Count = img.paletteCount;
  if (img.paletteCount) std::memcpy(palette->Entries, img.palette, 4 * size_t{img.paletteCount});
  return Ok;
}

GpStatus GdipBitmapLockBits(GpBitmap* bitmap, const GpRect* rect, uint32_t flags, int32_t format, BitmapData* data) {
  if (!bitmap || !data) return InvalidParameter;
  GpImage::State* s = bitmap->state;
  const CodecImage& img = s->image;
  if (!(flags & ImageLockModeRead) || (flags & ~7u)) return InvalidParameter;
  if (!CanLockAs(img, format)) return InvalidParameter;
  GpRect r{0, 0, static_cast<int32_t>(img.width), static_cast<int32_t>(img.height)};
  if (rect) {
    r = *rect;
    if (r.X < 0 || r.Y < 0 || r.Width <= 0 || r.Height <= 0 || static_cast<uint64_t>(r.X) + r.Width > img.width ||
        static_cast<uint64_t>(r.Y) + r.Height > img.height)
      return InvalidParameter;
  }
  if (s->locked) return WrongState;

  const uint32_t bpp = GetPixelFormatSize(format) / 8;
  const uint64_t rowBytes = uint64_t{static_cast<uint32_t>(r.Width)} * bpp;
  uint8_t* base;
  int64_t stride;
  if (flags & ImageLockModeUserInputBuf) {
    if (!data->Scan0 || data->Stride <= 0 || static_cast<uint64_t>(data->Stride) < rowBytes ||
        data->Width < static_cast<uint32_t>(r.Width) || data->Height < static_cast<uint32_t>(r.Height))
      return InvalidParameter;
    base = static_cast<uint8_t*>(data->Scan0);
    stride = data->Stride;
  } else {
    stride = static_cast<int64_t>((rowBytes + 3) & ~uint64_t{3});
    if (stride > INT32_MAX) return ValueOverflow;
    base = nullptr;  // allocated once the pixels are known to decode
  }

  const bool native = format == img.pixelFormat || (format == PixelFormat8bppIndexed && (img.pixelFormat & PixelFormatIndexed));
  const bool whole = r.X == 0 && r.Y == 0 && static_cast<uint32_t>(r.Width) == img.width &&
                     static_cast<uint32_t>(r.Height) == img.height;
  // Opaque 32-bit rows the decoder writes itself, without a pass of our own over them.
  const bool decodesAsLocked =
      native || ((format == PixelFormat32bppARGB || format == PixelFormat32bppRGB) && img.decodesOpaqueBgra);
  if (!s->decodeTried && whole && decodesAsLocked && (base || !native)) {
    // The locked memory (the caller's, or a buffer of ours for a converted layout) takes
    // the decoder's rows directly; nothing is kept, a later lock decodes again.
    if (!base) {
      if (!s->lockBuffer.Allocate(static_cast<size_t>(stride) * static_cast<uint32_t>(r.Height))) return OutOfMemory;
      base = s->lockBuffer.data();
    }
    s->image.external = base;
    s->image.externalStride = static_cast<size_t>(stride);
    s->image.decodeFormat = native ? PixelFormatUndefined : PixelFormat32bppARGB;
    GpStatus decoded = DecodePixels(s);
    s->image.external = nullptr;
    s->image.decodeFormat = PixelFormatUndefined;
    s->image.pixels.Reset();
    if (decoded != Ok) {
      // Whatever part was decoded is not a result: leave defined bytes, never a partial image.
      for (int32_t y = 0; y < r.Height; ++y) std::memset(base + y * stride, 0, static_cast<size_t>(rowBytes));
      s->lockBuffer.Reset();
      s->decodeTried = true;
      s->decodeStatus = decoded == OutOfMemory ? OutOfMemory : GenericError;
      return s->decodeStatus;
    }
  } else {
    if (!s->decodeTried) {
      s->decodeTried = true;
      s->decodeStatus = DecodePixels(s);
      if (s->decodeStatus != Ok && s->decodeStatus != OutOfMemory) s->decodeStatus = GenericError;
      if (s->decodeStatus != Ok) s->image.pixels.Reset();
    }
    if (s->decodeStatus != Ok) return s->decodeStatus;
    if (!base && native) {
      // Our own buffer in the file's own layout: the decoded rows themselves.
      base = img.Row(static_cast<uint32_t>(r.Y)) + size_t{static_cast<uint32_t>(r.X)} * bpp;
      stride = static_cast<int64_t>(img.stride);
    } else {
      if (!base) {
        if (!s->lockBuffer.Allocate(static_cast<size_t>(stride) * static_cast<uint32_t>(r.Height))) return OutOfMemory;
        base = s->lockBuffer.data();
      }
      for (int32_t y = 0; y < r.Height; ++y)
        ConvertRun(img, static_cast<uint32_t>(r.Y + y), static_cast<uint32_t>(r.X), static_cast<uint32_t>(r.Width),
                   format, base + y * stride);
    }
  }

  data->Width = static_cast<uint32_t>(r.Width);
  data->Height = static_cast<uint32_t>(r.Height);
  data->Stride = static_cast<int32_t>(stride);
  data->PixelFormat = format;
  data->Scan0 = base;
  data->Reserved = flags;
  s->locked = true;
  return Ok;
}

GpStatus GdipBitmapUnlockBits(GpBitmap* bitmap, BitmapData* data) {
  if (!bitmap || !data) return InvalidParameter;
  GpImage::State* s = bitmap->state;
  if (!s->locked) return WrongState;
  // The bitmap is read-only here: what a writable lock changed is not stored back.
  s->lockBuffer.Reset();
  s->locked = false;
  return Ok;
}

GpStatus GdipGetPropertySize(GpImage* image, uint32_t* totalBufferSize, uint32_t* numProperties) {
  if (!image || !totalBufferSize || !numProperties) return InvalidParameter;
  const CodecPropertyList& list = image->state->image.properties;
  *numProperties = list.count();
  *totalBufferSize = static_cast<uint32_t>(list.count() * sizeof(PropertyItem) + list.valueBytes());
  return Ok;
}

GpStatus GdipGetAllPropertyItems(GpImage* image, uint32_t totalBufferSize, uint32_t numProperties,
                                 PropertyItem* allItems) {
  if (!image || !allItems) return InvalidParameter;
  const CodecPropertyList& list = image->state->image.properties;
  const uint64_t needed = list.count() * sizeof(PropertyItem) + list.valueBytes();
  if (numProperties != list.count() || totalBufferSize != needed) return InvalidParameter;
  auto* values = reinterpret_cast<uint8_t*>(allItems + list.count());
  for (uint32_t i = 0; i < list.count(); ++i) {
    const CodecProperty& p = list.at(i);
    allItems[i].id = p.id;
    allItems[i].length = p.length;
    allItems[i].type = p.type;
    allItems[i].value = p.length ? values : nullptr;
    if (p.length) std::memcpy(values, p.value, p.length);
    values += p.length;
  }
  return Ok;
}

}  // namespace ko
