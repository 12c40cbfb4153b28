#include "ko/codec/testing/codec_writers.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
// clang-format off
#include <png.h>
#include <jpeglib.h>
#include <gif_lib.h>
#include <tiffio.h>
// clang-format on

#include "ko/platform/memory.h"

namespace ko {
namespace {

// A growable, seekable output buffer.
struct OutBuffer {
  CodecBuffer bytes;
  size_t size = 0;
  size_t pos = 0;

  bool Reserve(size_t n) {
    if (n <= bytes.size()) return true;
    size_t grown = bytes.size() ? bytes.size() : 4096;
    while (grown < n) {
      if (grown > SIZE_MAX / 2) return false;
      grown *= 2;
    }
    CodecBuffer next;
    if (!next.Allocate(grown, true)) return false;
    if (size) std::memcpy(next.data(), bytes.data(), size);
    bytes = static_cast<CodecBuffer&&>(next);
    return true;
  }
  bool Write(const void* data, size_t n) {
    if (n > SIZE_MAX - pos || !Reserve(pos + n)) return false;
    if (n) std::memcpy(bytes.data() + pos, data, n);
    pos += n;
    if (pos > size) size = pos;
    return true;
  }
  bool Finish(CodecBuffer* out) {
    if (!out->Allocate(size)) return false;
    if (size) std::memcpy(out->data(), bytes.data(), size);
    return true;
  }
};

// ---------------------------------------------------------------------------------------
// PNG

struct PngWriter {
  OutBuffer out;
  png_bytep* rows = nullptr;
  uint8_t* packed = nullptr;
};

void PngWriteError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWriteWarning(png_structp, png_const_charp) {}
void PngWriteData(png_structp png, png_bytep data, size_t n) {
  if (!static_cast<PngWriter*>(png_get_io_ptr(png))->out.Write(data, n)) png_error(png, "write");
}
void PngFlush(png_structp) {}

void SetTexts(png_structp png, png_infop info, const PngWriteOptions& o) {
  if (o.time) {
    png_time t{};
    t.year = static_cast<png_uint_16>(o.year);
    t.month = static_cast<png_byte>(o.month);
    t.day = static_cast<png_byte>(o.day);
    t.hour = static_cast<png_byte>(o.hour);
    t.minute = static_cast<png_byte>(o.minute);
    t.second = static_cast<png_byte>(o.second);
    png_set_tIME(png, info, &t);
  }
  for (int i = 0; i < o.textCount; ++i) {
    png_text t{};
    t.compression = o.texts[i].compression;
    t.key = const_cast<char*>(o.texts[i].keyword);
    t.text = const_cast<char*>(o.texts[i].text);
    t.text_length = std::strlen(o.texts[i].text);
    png_set_text(png, info, &t, 1);
  }
}

bool RunPngWriter(PngWriter* w, const void* samples, uint32_t width, uint32_t height, size_t stride,
                  const PngWriteOptions& o) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, w, PngWriteError, PngWriteWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  png_infop end = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_info_struct(png, &end);
    png_destroy_write_struct(&png, &info);
    return false;
  }
  if (!info || !end) png_error(png, "info");
  png_set_write_fn(png, w, PngWriteData, PngFlush);
  png_set_IHDR(png, info, width, height, o.bitDepth, o.colorType,
               o.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (o.palette) png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(o.palette), o.paletteCount);
  if (o.paletteAlpha) png_set_tRNS(png, info, o.paletteAlpha, o.paletteAlphaCount, nullptr);
  if (o.transparentGrey >= 0 || o.transparentRgb) {
    png_color_16 key{};
    if (o.transparentRgb) {
      key.red = o.transparentRgb[0];
      key.green = o.transparentRgb[1];
      key.blue = o.transparentRgb[2];
    } else {
      key.gray = static_cast<png_uint_16>(o.transparentGrey);
    }
    png_set_tRNS(png, info, nullptr, 0, &key);
  }
  if (o.gamma) png_set_gAMA_fixed(png, info, static_cast<png_fixed_point>(o.gamma));
  if (o.chromaticities) {
    const uint32_t* c = o.chromaticities;
    png_set_cHRM_fixed(png, info, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
  }
  if (o.physical) png_set_pHYs(png, info, o.pixelsPerUnitX, o.pixelsPerUnitY, o.physicalUnit);
  if (o.exif) png_set_eXIf_1(png, info, o.exifLength, const_cast<png_bytep>(o.exif));
  if (o.iccProfile) png_set_iCCP(png, info, "icc", 0, o.iccProfile, o.iccLength);
  SetTexts(png, o.textAfterImage ? end : info, o);
  png_write_info(png, info);
  if (o.bitDepth < 8) png_set_packing(png);
  if (o.bitDepth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
  w->rows = static_cast<png_bytep*>(KoMalloc(sizeof(png_bytep) * height));
  if (!w->rows) png_error(png, "rows");
  for (uint32_t y = 0; y < height; ++y)
    w->rows[y] = const_cast<png_bytep>(static_cast<const uint8_t*>(samples) + y * stride);
  png_write_image(png, w->rows);
  png_write_end(png, end);
  png_destroy_info_struct(png, &end);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool WritePng(const void* samples, uint32_t width, uint32_t height, size_t stride, const PngWriteOptions& options,
              CodecBuffer* out) {
  PngWriter w;
  const bool ok = RunPngWriter(&w, samples, width, height, stride, options);
  KoFree(w.rows);
  return ok && w.out.Finish(out);
}

// ---------------------------------------------------------------------------------------
// JPEG

namespace {

struct JpegWriter {
  jpeg_error_mgr err;
  jmp_buf jump;
  unsigned char* buffer;
  unsigned long size;
  uint8_t* row;
};

void JpegWriteError(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegWriter*>(cinfo->err)->jump, 1); }
void JpegWriteMessage(j_common_ptr, int) {}
void JpegWriteOutput(j_common_ptr) {}

bool RunJpegWriter(JpegWriter* w, const uint8_t* samples, uint32_t width, uint32_t height, size_t stride,
                   const JpegWriteOptions& o) {
  jpeg_compress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&w->err);
  w->err.error_exit = JpegWriteError;
  w->err.emit_message = JpegWriteMessage;
  w->err.output_message = JpegWriteOutput;
  if (setjmp(w->jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &w->buffer, &w->size);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = o.components;
  cinfo.in_color_space = o.components == 1 ? JCS_GRAYSCALE : o.components == 4 ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, o.quality, TRUE);
  if (o.progressive) jpeg_simple_progression(&cinfo);
  cinfo.restart_interval = static_cast<unsigned>(o.restartInterval);
  if (o.components == 4) cinfo.write_Adobe_marker = o.adobeMarker ? TRUE : FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  if (o.app1) jpeg_write_marker(&cinfo, JPEG_APP0 + 1, o.app1, o.app1Length);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(samples + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

bool WriteJpeg(const uint8_t* samples, uint32_t width, uint32_t height, size_t stride, const JpegWriteOptions& options,
               CodecBuffer* out) {
  JpegWriter w{};
  const bool ok = RunJpegWriter(&w, samples, width, height, stride, options);
  bool copied = false;
  if (ok && out->Allocate(w.size)) {
    std::memcpy(out->data(), w.buffer, w.size);
    copied = true;
  }
  std::free(w.buffer);  // libjpeg's own destination buffer
  return copied;
}

// ---------------------------------------------------------------------------------------
// GIF

namespace {

int GifOutput(GifFileType* gif, const GifByteType* data, int n) {
  return static_cast<OutBuffer*>(gif->UserData)->Write(data, static_cast<size_t>(n)) ? n : 0;
}

ColorMapObject* MakeMap(const uint8_t* palette, int count) {
  if (!palette || count <= 0) return nullptr;
  GifColorType colors[256];
  for (int i = 0; i < count && i < 256; ++i) colors[i] = {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]};
  return GifMakeMapObject(count, colors);
}

bool PutFrame(GifFileType* gif, const GifFrame& f) {
  GraphicsControlBlock gcb{};
  gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
  gcb.DelayTime = f.delay;
  gcb.TransparentColor = f.transparent >= 0 ? f.transparent : NO_TRANSPARENT_COLOR;
  GifByteType ext[4];
  EGifGCBToExtension(&gcb, ext);
  if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext) != GIF_OK) return false;
  ColorMapObject* map = MakeMap(f.palette, f.paletteCount);
  if (!map && gif->Image.ColorMap) {
    // giflib forgets the previous frame's local table when this frame has none.
    GifFreeMapObject(gif->Image.ColorMap);
    gif->Image.ColorMap = nullptr;
  }
  const int put = EGifPutImageDesc(gif, static_cast<int>(f.left), static_cast<int>(f.top), static_cast<int>(f.width),
                                   static_cast<int>(f.height), f.interlaced, map);
  GifFreeMapObject(map);
  if (put != GIF_OK) return false;
  static const uint32_t kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
  for (uint32_t pass = 0; pass < (f.interlaced ? 4u : 1u); ++pass)
    for (uint32_t y = f.interlaced ? kStart[pass] : 0; y < f.height; y += f.interlaced ? kStep[pass] : 1)
      if (EGifPutLine(gif, const_cast<GifPixelType*>(f.indices + size_t{y} * f.width), static_cast<int>(f.width)) !=
          GIF_OK)
        return false;
  return true;
}

}  // namespace

bool WriteGif(const GifFrame* frames, int frameCount, const GifWriteOptions& o, CodecBuffer* out) {
  OutBuffer buffer;
  int error = 0;
  GifFileType* gif = EGifOpen(&buffer, GifOutput, &error);
  if (!gif) return false;
  EGifSetGifVersion(gif, true);
  ColorMapObject* map = MakeMap(o.palette, o.paletteCount);
  bool ok = EGifPutScreenDesc(gif, static_cast<int>(o.screenWidth), static_cast<int>(o.screenHeight), 8, o.background,
                              map) == GIF_OK;
  GifFreeMapObject(map);
  if (ok && o.loop) {
    static const GifByteType kApp[11] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    static const GifByteType kLoop[3] = {1, 0, 0};
    ok = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
         EGifPutExtensionBlock(gif, 11, kApp) == GIF_OK && EGifPutExtensionBlock(gif, 3, kLoop) == GIF_OK &&
         EGifPutExtensionTrailer(gif) == GIF_OK;
  }
  for (int i = 0; ok && i < frameCount; ++i) ok = PutFrame(gif, frames[i]);
  ok = EGifCloseFile(gif, &error) == GIF_OK && ok;
  return ok && buffer.Finish(out);
}

// ---------------------------------------------------------------------------------------
// TIFF

namespace {

tmsize_t TiffWriteRead(thandle_t h, void* data, tmsize_t n) {
  auto* b = static_cast<OutBuffer*>(h);
  if (n <= 0 || b->pos >= b->size) return 0;
  const size_t take = std::min(b->size - b->pos, static_cast<size_t>(n));
  std::memcpy(data, b->bytes.data() + b->pos, take);
  b->pos += take;
  return static_cast<tmsize_t>(take);
}
tmsize_t TiffWriteWrite(thandle_t h, void* data, tmsize_t n) {
  return static_cast<OutBuffer*>(h)->Write(data, static_cast<size_t>(n)) ? n : -1;
}
toff_t TiffWriteSeek(thandle_t h, toff_t offset, int whence) {
  auto* b = static_cast<OutBuffer*>(h);
  const uint64_t base = whence == SEEK_CUR ? b->pos : whence == SEEK_END ? b->size : 0;
  const uint64_t target = base + offset;
  if (target > b->size && !b->Reserve(static_cast<size_t>(target))) return static_cast<toff_t>(-1);
  b->pos = static_cast<size_t>(target);
  return target;
}
int TiffWriteClose(thandle_t) { return 0; }
toff_t TiffWriteSize(thandle_t h) { return static_cast<OutBuffer*>(h)->size; }
int TiffWriteMap(thandle_t, void**, toff_t*) { return 0; }
void TiffWriteUnmap(thandle_t, void*, toff_t) {}
int TiffWriteSilent(TIFF*, void*, const char*, const char*, va_list) { return 1; }

uint32_t SampleAt(const TiffPage& p, uint32_t x, uint32_t y, int s) {
  const uint8_t* row = static_cast<const uint8_t*>(p.samples) + size_t{y} * p.stride;
  const size_t index = size_t{x} * p.samplesPerPixel + s;
  if (p.bitsPerSample == 16) {
    uint16_t v;
    std::memcpy(&v, row + 2 * index, 2);
    return v;
  }
  if (p.bitsPerSample == 32) {
    uint32_t v;
    std::memcpy(&v, row + 4 * index, 4);
    return v;
  }
  return row[index];
}

// Pixels [x0, x0 + n) of row y, samples `first` to `first + count - 1`, packed as TIFF
// stores them into `out`; pixels beyond the image are zero.
void PackRun(const TiffPage& p, uint32_t x0, uint32_t n, uint32_t y, int first, int count, uint8_t* out) {
  const int bps = p.bitsPerSample;
  size_t bit = 0;
  for (uint32_t i = 0; i < n; ++i) {
    for (int s = first; s < first + count; ++s) {
      const bool inside = x0 + i < p.width && y < p.height;
      const uint32_t v = inside ? SampleAt(p, x0 + i, y, s) : 0;
      if (bps >= 8) {
        std::memcpy(out + bit / 8, &v, static_cast<size_t>(bps / 8));  // host order, little-endian here
      } else {
        out[bit / 8] = static_cast<uint8_t>(out[bit / 8] | (v << (8 - bps - bit % 8)));
      }
      bit += static_cast<size_t>(bps);
    }
  }
}

bool WritePage(TIFF* tif, const TiffPage& p) {
  const int colorSamples = p.photometric == 2 || p.photometric == 6 || p.photometric == 8 ? 3 : p.photometric == 5 ? 4 : 1;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bitsPerSample);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.samplesPerPixel);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, p.compression);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, p.planar);
  if (p.sampleFormat) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, p.sampleFormat);
  if (p.samplesPerPixel > colorSamples) {
    uint16_t extra[8] = {};
    extra[0] = static_cast<uint16_t>(p.extraSample < 0 ? 0 : p.extraSample);
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, p.samplesPerPixel - colorSamples, extra);
  }
  if (p.colormap) {
    const size_t n = size_t{1} << p.bitsPerSample;
    TIFFSetField(tif, TIFFTAG_COLORMAP, p.colormap, p.colormap + n, p.colormap + 2 * n);
  }
  if (p.orientation) TIFFSetField(tif, TIFFTAG_ORIENTATION, p.orientation);
  if (p.description) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, p.description);
  if (p.artist) TIFFSetField(tif, TIFFTAG_ARTIST, p.artist);
  if (p.xResolution > 0) {
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, p.xResolution);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, p.xResolution);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  }
  if (p.compression == COMPRESSION_JPEG && p.photometric == PHOTOMETRIC_YCBCR)
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  const bool separate = p.planar == PLANARCONFIG_SEPARATE;
  const int planes = separate ? p.samplesPerPixel : 1;
  const int perPlane = separate ? 1 : p.samplesPerPixel;
  if (p.tileWidth) {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, p.tileWidth);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, p.tileHeight);
    const size_t rowBytes = (size_t{p.tileWidth} * perPlane * p.bitsPerSample + 7) / 8;
    CodecBuffer tile;
    if (!tile.Allocate(rowBytes * p.tileHeight)) return false;
    for (int s = 0; s < planes; ++s)
      for (uint32_t ty = 0; ty < p.height; ty += p.tileHeight)
        for (uint32_t tx = 0; tx < p.width; tx += p.tileWidth) {
          std::memset(tile.data(), 0, tile.size());
          for (uint32_t r = 0; r < p.tileHeight; ++r)
            PackRun(p, tx, p.tileWidth, ty + r, separate ? s : 0, perPlane, tile.data() + r * rowBytes);
          if (TIFFWriteTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(s)) < 0) return false;
        }
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, p.rowsPerStrip ? p.rowsPerStrip : 0));
    const size_t rowBytes = (size_t{p.width} * perPlane * p.bitsPerSample + 7) / 8;
    CodecBuffer row;
    if (!row.Allocate(rowBytes)) return false;
    for (int s = 0; s < planes; ++s)
      for (uint32_t y = 0; y < p.height; ++y) {
        std::memset(row.data(), 0, row.size());
        PackRun(p, 0, p.width, y, separate ? s : 0, perPlane, row.data());
        if (TIFFWriteScanline(tif, row.data(), y, static_cast<uint16_t>(s)) < 0) return false;
      }
  }
  return TIFFWriteDirectory(tif) != 0;
}

}  // namespace

bool WriteTiff(const TiffPage* pages, int pageCount, bool bigEndian, CodecBuffer* out) {
  OutBuffer buffer;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return false;
  TIFFOpenOptionsSetErrorHandlerExtR(options, TiffWriteSilent, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, TiffWriteSilent, nullptr);
  TIFF* tif = TIFFClientOpenExt("memory", bigEndian ? "wb" : "wl", &buffer, TiffWriteRead, TiffWriteWrite,
                                TiffWriteSeek, TiffWriteClose, TiffWriteSize, TiffWriteMap, TiffWriteUnmap, options);
  TIFFOpenOptionsFree(options);
  if (!tif) return false;
  bool ok = true;
  for (int i = 0; ok && i < pageCount; ++i) ok = WritePage(tif, pages[i]);
  TIFFClose(tif);
  return ok && buffer.Finish(out);
}

}  // namespace ko
