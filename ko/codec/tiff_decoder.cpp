#include "ko/codec/tiff_decoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <tiffio.h>

#include "ko/codec/codec_properties.h"

namespace ko {
namespace {

constexpr tmsize_t kMaxLibtiffAlloc = tmsize_t{256} << 20;
constexpr uint32_t kMaxNativeSamples = 8;

struct MemFile {
  const uint8_t* data;
  size_t size;
  uint64_t pos;
};

tmsize_t ReadProc(thandle_t h, void* out, tmsize_t n) {
  auto* f = static_cast<MemFile*>(h);
  if (n <= 0 || f->pos >= f->size) return 0;
  const uint64_t left = f->size - f->pos;
  const uint64_t take = std::min<uint64_t>(left, static_cast<uint64_t>(n));
  std::memcpy(out, f->data + f->pos, take);
  f->pos += take;
  return static_cast<tmsize_t>(take);
}
tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return -1; }
toff_t SeekProc(thandle_t h, toff_t offset, int whence) {
  auto* f = static_cast<MemFile*>(h);
  uint64_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
  if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
  f->pos = base + offset;
  return f->pos;
}
int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t h) { return static_cast<MemFile*>(h)->size; }
int MapProc(thandle_t h, void** base, toff_t* size) {
  auto* f = static_cast<MemFile*>(h);
  *base = const_cast<uint8_t*>(f->data);
  *size = f->size;
  return 1;
}
void UnmapProc(thandle_t, void*, toff_t) {}

// Errors and warnings are dropped here; returning 1 keeps libtiff's global handlers (which
// print) from running.
int Silent(TIFF*, void*, const char*, const char*, va_list) { return 1; }

class TiffHandle {
 public:
  TiffHandle(const uint8_t* data, size_t size) : file_{data, size, 0} {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return;
    TIFFOpenOptionsSetErrorHandlerExtR(options, Silent, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, Silent, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibtiffAlloc);
    tif_ = TIFFClientOpenExt("memory", "r", &file_, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc, MapProc,
                             UnmapProc, options);
    TIFFOpenOptionsFree(options);
  }
  ~TiffHandle() {
    if (tif_) TIFFClose(tif_);
  }
  TiffHandle(const TiffHandle&) = delete;
  TiffHandle& operator=(const TiffHandle&) = delete;
  TIFF* get() const { return tif_; }

 private:
  MemFile file_;
  TIFF* tif_ = nullptr;
};

struct TiffPlan {
  uint32_t width = 0, height = 0;
  uint16_t spp = 1, bps = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG;
  uint32_t colorSamples = 1;
  int alpha = -1;  // sample index of the alpha sample
  bool associated = false;
  bool minIsWhite = false;
  bool cmyk = false;
  bool fallback = false;  // through libtiff's RGBA reader
  int32_t format = PixelFormatUndefined;
};

GpStatus MakePlan(TIFF* tif, size_t fileSize, TiffPlan* plan) {
  TiffPlan p;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height))
    return UnknownImageFormat;
  const GpStatus sized = CheckDecodedSize(p.width, p.height, fileSize);
  if (sized != Ok) return sized;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE, inkSet = INKSET_CMYK;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &p.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &p.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric))
    p.photometric = p.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  if (p.spp == 0) return UnknownImageFormat;

  if (p.photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG && p.planar == PLANARCONFIG_CONTIG) {
    // libjpeg does the colour conversion; the strips then read as RGB.
    if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) return UnknownImageFormat;
    p.photometric = PHOTOMETRIC_RGB;
  }
  bool native = sampleFormat == SAMPLEFORMAT_UINT && p.spp <= kMaxNativeSamples;
  switch (p.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      p.colorSamples = 1;
      p.minIsWhite = p.photometric == PHOTOMETRIC_MINISWHITE;
      native = native && (p.bps == 1 || p.bps == 2 || p.bps == 4 || p.bps == 8 || p.bps == 16) &&
               (p.bps >= 8 || p.spp == 1);
      break;
    case PHOTOMETRIC_PALETTE:
      p.colorSamples = 1;
      native = native && p.spp == 1 && (p.bps == 1 || p.bps == 2 || p.bps == 4 || p.bps == 8);
      break;
    case PHOTOMETRIC_RGB:
      p.colorSamples = 3;
      native = native && p.spp >= 3 && (p.bps == 8 || p.bps == 16);
      break;
    case PHOTOMETRIC_SEPARATED:
      p.colorSamples = 4;
      p.cmyk = true;
      native = native && inkSet == INKSET_CMYK && p.spp >= 4 && (p.bps == 8 || p.bps == 16);
      break;
    default: native = false; break;
  }
  uint16_t extraCount = 0;
  uint16_t* extra = nullptr;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount > 0 && extra &&
      p.spp > p.colorSamples && (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA)) {
    p.alpha = static_cast<int>(p.colorSamples);
    p.associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
  }
  if (native && p.photometric != PHOTOMETRIC_PALETTE && p.alpha >= 0 && p.bps < 8) native = false;

  if (native) {
    const bool wide = p.bps == 16;
    if (p.photometric == PHOTOMETRIC_PALETTE) {
      p.format = p.bps == 1 ? PixelFormat1bppIndexed : p.bps <= 4 ? PixelFormat4bppIndexed : PixelFormat8bppIndexed;
    } else if (p.colorSamples == 1 && p.alpha < 0) {
      p.format = p.bps == 1 ? PixelFormat1bppIndexed
                 : p.bps <= 4 ? PixelFormat4bppIndexed
                 : p.bps == 8 ? PixelFormat8bppIndexed
                              : PixelFormat16bppGrayScale;
    } else if (p.alpha >= 0) {
      p.format = wide ? PixelFormat64bppARGB : PixelFormat32bppARGB;
    } else {
      p.format = wide ? PixelFormat48bppRGB : PixelFormat24bppRGB;
    }
  } else {
    char message[1024];
    if (!TIFFRGBAImageOK(tif, message)) return UnknownImageFormat;
    p.fallback = true;
    p.format = p.alpha >= 0 ? PixelFormat32bppARGB : PixelFormat24bppRGB;
  }

  if (TIFFIsTiled(tif)) {
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &th)) return UnknownImageFormat;
    if (CheckDecodedSize(tw, th, fileSize) != Ok) return UnknownImageFormat;
  }
  *plan = p;
  return Ok;
}

void Describe(TIFF* tif, const TiffPlan& p, CodecImage* image) {
  image->width = p.width;
  image->height = p.height;
  image->pixelFormat = p.format;
  image->paletteCount = 0;
  image->paletteFlags = 0;
  if (!(p.format & PixelFormatIndexed)) return;
  const uint32_t entries = 1u << p.bps;
  if (p.photometric != PHOTOMETRIC_PALETTE) {
    image->SetGreyPalette(entries, p.minIsWhite);
    return;
  }
  uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
  if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) {
    image->SetGreyPalette(entries, false);
    return;
  }
  bool eightBit = true;  // maps written with 8-bit values, as some old writers did
  for (uint32_t i = 0; i < entries; ++i)
    if (r[i] > 255 || g[i] > 255 || b[i] > 255) eightBit = false;
  auto to8 = [&](uint16_t v) { return eightBit ? uint32_t{v} : uint32_t{Round16To8(v)}; };
  image->paletteCount = entries;
  for (uint32_t i = 0; i < entries; ++i) image->palette[i] = 0xFF000000u | (to8(r[i]) << 16) | (to8(g[i]) << 8) | to8(b[i]);
}

inline uint32_t Sample(const uint8_t* row, uint32_t index, uint32_t bps) {
  switch (bps) {
    case 8: return row[index];
    case 16: {
      uint16_t v;
      std::memcpy(&v, row + 2 * size_t{index}, 2);
      return v;
    }
    default: {
      const size_t bit = size_t{index} * bps;
      const uint32_t shift = 8 - bps - static_cast<uint32_t>(bit & 7);
      return (row[bit >> 3] >> shift) & ((1u << bps) - 1);
    }
  }
}

inline uint32_t Scale(uint32_t a, uint32_t b, uint32_t max) {
  return static_cast<uint32_t>((uint64_t{a} * b + max / 2) / max);
}

// One pixel of stored samples into the reported layout.
void ConvertPixel(const TiffPlan& p, uint32_t* s, uint8_t* out) {
  if (p.format & PixelFormatIndexed) {
    out[0] = static_cast<uint8_t>(s[0]);
    return;
  }
  const uint32_t max = p.bps == 16 ? 65535u : 255u;
  if (p.alpha >= 0 && p.associated) {
    const uint32_t a = s[p.alpha];
    for (uint32_t i = 0; i < p.colorSamples; ++i)
      s[i] = a == 0 ? 0 : std::min<uint32_t>(max, static_cast<uint32_t>((uint64_t{s[i]} * max + a / 2) / a));
  }
  uint32_t r, g, b;
  if (p.colorSamples == 1) {
    r = g = b = p.minIsWhite ? max - s[0] : s[0];
  } else if (p.cmyk) {
    const uint32_t k = max - s[3];
    r = Scale(max - s[0], k, max);
    g = Scale(max - s[1], k, max);
    b = Scale(max - s[2], k, max);
  } else {
    r = s[0];
    g = s[1];
    b = s[2];
  }
  const uint32_t a = p.alpha >= 0 ? s[p.alpha] : max;
  switch (p.format) {
    case PixelFormat16bppGrayScale: {
      const uint16_t v = static_cast<uint16_t>(r);
      std::memcpy(out, &v, 2);
      return;
    }
    case PixelFormat24bppRGB:
    case PixelFormat32bppARGB:
      out[0] = static_cast<uint8_t>(b);
      out[1] = static_cast<uint8_t>(g);
      out[2] = static_cast<uint8_t>(r);
      if (p.format == PixelFormat32bppARGB) out[3] = static_cast<uint8_t>(a);
      return;
    default: {
      const uint16_t v[4] = {static_cast<uint16_t>(b), static_cast<uint16_t>(g), static_cast<uint16_t>(r),
                             static_cast<uint16_t>(a)};
      std::memcpy(out, v, p.format == PixelFormat64bppARGB ? 8 : 6);
      return;
    }
  }
}

// Strips or tiles, each read for every plane the pixels need, then converted pixel by pixel.
GpStatus DecodeNative(TIFF* tif, const TiffPlan& p, CodecImage* image) {
  const bool tiled = TIFFIsTiled(tif) != 0;
  const bool separate = p.planar == PLANARCONFIG_SEPARATE && p.spp > 1;
  const uint32_t needed = p.alpha >= 0 ? static_cast<uint32_t>(p.alpha) + 1 : p.colorSamples;
  const uint32_t planes = separate ? needed : 1;
  uint32_t bw = p.width, bh = p.height;
  if (tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &bw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &bh);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bh);
    if (bh == 0 || bh > p.height) bh = p.height;
  }
  if (bw == 0 || bh == 0) return GenericError;
  const uint64_t rowBytes = tiled ? TIFFTileRowSize64(tif) : TIFFScanlineSize64(tif);
  const uint64_t blockBytes = tiled ? TIFFTileSize64(tif) : rowBytes * bh;
  const uint64_t minRow = (uint64_t{separate ? 1u : p.spp} * p.bps * (tiled ? bw : p.width) + 7) / 8;
  if (rowBytes < minRow || blockBytes == 0 || blockBytes > static_cast<uint64_t>(kMaxLibtiffAlloc)) return GenericError;

  CodecBuffer buffers[kMaxNativeSamples];
  for (uint32_t i = 0; i < planes; ++i)
    if (!buffers[i].Allocate(static_cast<size_t>(blockBytes))) return OutOfMemory;
  const GpStatus allocated = image->AllocatePixels();
  if (allocated != Ok) return allocated;
  const uint32_t bpp = image->NativeBytesPerPixel();

  uint32_t samples[kMaxNativeSamples];
  for (uint32_t by = 0; by < p.height; by += bh) {
    const uint32_t rows = std::min(bh, p.height - by);
    for (uint32_t bx = 0; bx < p.width; bx += bw) {
      const uint32_t cols = std::min(bw, p.width - bx);
      for (uint32_t plane = 0; plane < planes; ++plane) {
        const auto s = static_cast<uint16_t>(plane);
        tmsize_t got;
        uint64_t expected;
        if (tiled) {
          expected = blockBytes;
          got = TIFFReadEncodedTile(tif, TIFFComputeTile(tif, bx, by, 0, s), buffers[plane].data(),
                                    static_cast<tmsize_t>(blockBytes));
        } else {
          expected = rowBytes * rows;
          got = TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, by, s), buffers[plane].data(),
                                     static_cast<tmsize_t>(expected));
        }
        if (got < 0 || static_cast<uint64_t>(got) < expected) return GenericError;
      }
      for (uint32_t r = 0; r < rows; ++r) {
        uint8_t* out = image->Row(by + r) + size_t{bx} * bpp;
        const size_t offset = static_cast<size_t>(r * rowBytes);
        for (uint32_t x = 0; x < cols; ++x, out += bpp) {
          for (uint32_t i = 0; i < needed; ++i)
            samples[i] = separate ? Sample(buffers[i].data() + offset, x, p.bps)
                                  : Sample(buffers[0].data() + offset, x * p.spp + i, p.bps);
          ConvertPixel(p, samples, out);
        }
      }
    }
  }
  return Ok;
}

// Through libtiff's RGBA reader, asked for the stored row order.
GpStatus DecodeFallback(TIFF* tif, const TiffPlan& p, CodecImage* image) {
  char message[1024];
  TIFFRGBAImage img;
  if (!TIFFRGBAImageBegin(&img, tif, 1, message)) return GenericError;
  img.req_orientation = img.orientation;
  CodecBuffer raster;
  if (!raster.Allocate(size_t{p.width} * p.height * 4)) {
    TIFFRGBAImageEnd(&img);
    return OutOfMemory;
  }
  const int ok = TIFFRGBAImageGet(&img, reinterpret_cast<uint32_t*>(raster.data()), p.width, p.height);
  TIFFRGBAImageEnd(&img);
  if (!ok) return GenericError;
  const GpStatus allocated = image->AllocatePixels();
  if (allocated != Ok) return allocated;
  const bool alpha = p.format == PixelFormat32bppARGB;
  const uint32_t bpp = alpha ? 4 : 3;
  for (uint32_t y = 0; y < p.height; ++y) {
    const uint8_t* in = raster.data() + size_t{y} * p.width * 4;
    uint8_t* out = image->Row(y);
    for (uint32_t x = 0; x < p.width; ++x, in += 4, out += bpp) {
      uint32_t abgr;
      std::memcpy(&abgr, in, 4);
      uint32_t c[3] = {TIFFGetB(abgr), TIFFGetG(abgr), TIFFGetR(abgr)};
      const uint32_t a = TIFFGetA(abgr);
      if (alpha) {  // the RGBA reader premultiplies
        for (uint32_t& v : c) v = a == 0 ? 0 : std::min<uint32_t>(255, (v * 255 + a / 2) / a);
        out[3] = static_cast<uint8_t>(a);
      }
      out[0] = static_cast<uint8_t>(c[0]);
      out[1] = static_cast<uint8_t>(c[1]);
      out[2] = static_cast<uint8_t>(c[2]);
    }
  }
  return Ok;
}

}  // namespace

GpStatus ReadTiffHeader(const uint8_t* data, size_t size, CodecImage* image) {
  {
    TiffHandle handle(data, size);
    if (!handle.get()) return UnknownImageFormat;
    TiffPlan plan;
    const GpStatus status = MakePlan(handle.get(), size, &plan);
    if (status != Ok) return status;
    Describe(handle.get(), plan, image);
  }
  return AddTiffProperties(data, size, &image->properties);
}

GpStatus DecodeTiffPixels(const uint8_t* data, size_t size, CodecImage* image) {
  TiffHandle handle(data, size);
  if (!handle.get()) return GenericError;
  TiffPlan plan;
  if (MakePlan(handle.get(), size, &plan) != Ok) return GenericError;
  Describe(handle.get(), plan, image);
  return plan.fallback ? DecodeFallback(handle.get(), plan, image) : DecodeNative(handle.get(), plan, image);
}

}  // namespace ko
