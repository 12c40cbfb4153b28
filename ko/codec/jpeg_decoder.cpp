#include "ko/codec/jpeg_decoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "ko/codec/codec_properties.h"

namespace ko {
namespace {

// The error manager and everything the longjmp target needs; plain data only.
struct JpegContext {
  jpeg_error_mgr err;
  jpeg_progress_mgr progress;
  jmp_buf jump;
  bool truncated;
  bool outOfMemory;
  GpStatus failure;
  uint8_t* scratchRow;  // from the library's image pool while decoding CMYK or unknown colour
};

JpegContext* ContextOf(j_common_ptr cinfo) { return reinterpret_cast<JpegContext*>(cinfo->err); }

void ErrorExit(j_common_ptr cinfo) {
  JpegContext* ctx = ContextOf(cinfo);
  if (cinfo->err->msg_code == JERR_OUT_OF_MEMORY) ctx->outOfMemory = true;
  longjmp(ctx->jump, 1);
}

// Warnings are dropped, except that running out of data is remembered: the source then
// feeds a fake end-of-image marker and the decode would otherwise end in grey rows.
void EmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) ContextOf(cinfo)->truncated = true;
}
void OutputMessage(j_common_ptr) {}

void Progress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxJpegScans) {
    cinfo->err->msg_code = JERR_NOTIMPL;
    longjmp(ContextOf(cinfo)->jump, 1);
  }
}

// 1 grey, 3 colour, 4 CMYK; 0 unsupported.
int ComponentsFor(const jpeg_decompress_struct& cinfo) {
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE: return 1;
    case JCS_YCbCr:
    case JCS_RGB: return 3;
    case JCS_CMYK:
    case JCS_YCCK: return 4;
    default:
      if (cinfo.num_components == 1 || cinfo.num_components == 3 || cinfo.num_components == 4)
        return cinfo.num_components;
      return 0;
  }
}

uint8_t Ink(uint32_t a, uint32_t b) { return static_cast<uint8_t>((a * b + 127) / 255); }

// `out` takes 3 bytes a pixel, or 4 with alpha 255 when `step` is 4.
void CmykToBgr(const uint8_t* in, uint8_t* out, uint32_t width, bool inverted, uint32_t step) {
  for (uint32_t x = 0; x < width; ++x, in += 4, out += step) {
    const uint32_t c = inverted ? in[0] : 255u - in[0];
    const uint32_t m = inverted ? in[1] : 255u - in[1];
    const uint32_t y = inverted ? in[2] : 255u - in[2];
    const uint32_t k = inverted ? in[3] : 255u - in[3];
    out[0] = Ink(y, k);
    out[1] = Ink(m, k);
    out[2] = Ink(c, k);
    if (step == 4) out[3] = 255;
  }
}

// Unknown three-component data is taken as R, G, B.
void RgbToBgr(const uint8_t* in, uint8_t* out, uint32_t width, uint32_t step) {
  for (uint32_t x = 0; x < width; ++x, in += 3, out += step) {
    const uint8_t r = in[0], g = in[1], b = in[2];
    out[0] = b;
    out[1] = g;
    out[2] = r;
    if (step == 4) out[3] = 255;
  }
}

// The one frame that calls setjmp: it holds only plain data and pointers.
GpStatus RunLibjpeg(const uint8_t* data, size_t size, CodecImage* image, bool pixels, JpegContext* ctx) {
  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&ctx->err);
  ctx->err.error_exit = ErrorExit;
  ctx->err.emit_message = EmitMessage;
  ctx->err.output_message = OutputMessage;
  ctx->failure = UnknownImageFormat;
  if (setjmp(ctx->jump)) {
    jpeg_destroy_decompress(&cinfo);
    return ctx->outOfMemory ? OutOfMemory : ctx->failure;
  }
  jpeg_create_decompress(&cinfo);
  ctx->progress.progress_monitor = Progress;
  cinfo.progress = &ctx->progress;
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (ctx->truncated) ERREXIT(&cinfo, JERR_INPUT_EOF);
  const int components = ComponentsFor(cinfo);
  if (components == 0) ERREXIT(&cinfo, JERR_CONVERSION_NOTIMPL);
  image->width = cinfo.image_width;
  image->height = cinfo.image_height;
  image->paletteCount = 0;
  image->paletteFlags = 0;
  image->decodesOpaqueBgra = true;
  if (components == 1) {
    image->pixelFormat = PixelFormat8bppIndexed;
    image->SetGreyPalette(256, false);
  } else {
    image->pixelFormat = PixelFormat24bppRGB;
  }
  const GpStatus sized = CheckDecodedSize(image->width, image->height, size);
  if (sized != Ok || !pixels) {
    jpeg_destroy_decompress(&cinfo);
    return sized;
  }

  ctx->failure = GenericError;
  const bool known = cinfo.jpeg_color_space != JCS_UNKNOWN;
  // Blue, green, red, 255 straight from the library's colour conversion when asked for.
  const bool bgra = image->decodeFormat == PixelFormat32bppARGB;
  const uint32_t step = bgra ? 4 : 3;
  int outComponents = components;
  if (components == 1) {
    cinfo.out_color_space = bgra ? JCS_EXT_BGRA : JCS_GRAYSCALE;
    if (bgra) outComponents = 4;
  } else if (components == 3) {
    cinfo.out_color_space = known ? (bgra ? JCS_EXT_BGRA : JCS_EXT_BGR) : JCS_UNKNOWN;
    if (known && bgra) outComponents = 4;
  } else {
    cinfo.out_color_space = known ? JCS_CMYK : JCS_UNKNOWN;
  }
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_width != image->width || cinfo.output_height != image->height ||
      cinfo.output_components != outComponents)
    ERREXIT(&cinfo, JERR_CONVERSION_NOTIMPL);
  const GpStatus allocated = image->AllocatePixels();
  if (allocated != Ok) {
    jpeg_destroy_decompress(&cinfo);
    return allocated;
  }
  // CMYK and unknown colour come through a scratch row and our own conversion.
  const bool viaScratch = components == 4 || (components == 3 && !known);
  if (viaScratch) {
    ctx->scratchRow = static_cast<uint8_t*>((*cinfo.mem->alloc_large)(
        reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, size_t{image->width} * static_cast<uint32_t>(components)));
  }
  const bool adobeInverted = cinfo.saw_Adobe_marker != 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    const uint32_t y = cinfo.output_scanline;
    JSAMPROW row = viaScratch ? ctx->scratchRow : image->Row(y);
    if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) ERREXIT(&cinfo, JERR_INPUT_EOF);
    if (ctx->truncated) ERREXIT(&cinfo, JERR_INPUT_EOF);
    if (components == 4) CmykToBgr(ctx->scratchRow, image->Row(y), image->width, adobeInverted, step);
    else if (viaScratch) RgbToBgr(ctx->scratchRow, image->Row(y), image->width, step);
  }
  jpeg_finish_decompress(&cinfo);
  const bool truncated = ctx->truncated;
  jpeg_destroy_decompress(&cinfo);
  return truncated ? GenericError : Ok;
}

uint32_t BE16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }

// The first APP1 segment that holds EXIF, found by walking the segments before the scan.
bool FindExif(const uint8_t* d, size_t n, const uint8_t** exif, size_t* length) {
  size_t p = 2;
  while (p + 4 <= n) {
    if (d[p] != 0xFF) return false;
    uint8_t marker = d[p + 1];
    if (marker == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      p += 2;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return false;
    const size_t segment = BE16(d + p + 2);
    if (segment < 2 || segment > n - p - 2) return false;
    if (marker == 0xE1 && segment >= 8 && std::memcmp(d + p + 4, "Exif\0\0", 6) == 0) {
      *exif = d + p + 10;
      *length = segment - 8;
      return true;
    }
    p += 2 + segment;
  }
  return false;
}

}  // namespace

GpStatus ReadJpegHeader(const uint8_t* data, size_t size, CodecImage* image) {
  JpegContext ctx{};
  const GpStatus status = RunLibjpeg(data, size, image, false, &ctx);
  if (status != Ok) return status;
  const uint8_t* exif = nullptr;
  size_t length = 0;
  if (FindExif(data, size, &exif, &length)) return AddTiffProperties(exif, length, &image->properties);
  return Ok;
}

GpStatus DecodeJpegPixels(const uint8_t* data, size_t size, CodecImage* image) {
  JpegContext ctx{};
  return RunLibjpeg(data, size, image, true, &ctx);
}

}  // namespace ko
