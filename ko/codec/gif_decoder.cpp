#include "ko/codec/gif_decoder.h"

#include <algorithm>
#include <cstring>
#include <gif_lib.h>

namespace ko {
namespace {

struct GifSource {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int ReadGif(GifFileType* gif, GifByteType* out, int length) {
  auto* src = static_cast<GifSource*>(gif->UserData);
  if (length <= 0) return 0;
  size_t n = static_cast<size_t>(length);
  if (n > src->size - src->pos) n = src->size - src->pos;
  std::memcpy(out, src->data + src->pos, n);
  src->pos += n;
  return static_cast<int>(n);
}

// An open giflib handle, closed on every path.
class GifHandle {
 public:
  GifHandle(const uint8_t* data, size_t size) : src_{data, size, 0} {
    int error = 0;
    gif_ = DGifOpen(&src_, ReadGif, &error);
  }
  ~GifHandle() {
    if (gif_) {
      int error = 0;
      DGifCloseFile(gif_, &error);
    }
  }
  GifHandle(const GifHandle&) = delete;
  GifHandle& operator=(const GifHandle&) = delete;
  GifFileType* get() const { return gif_; }

 private:
  GifSource src_;
  GifFileType* gif_ = nullptr;
};

struct FirstFrame {
  int transparent = -1;
  uint32_t left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
};

// Reads up to the first image descriptor: its place, the transparency before it.
GpStatus FindFirstFrame(GifFileType* gif, FirstFrame* frame) {
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) != GIF_OK) return UnknownImageFormat;
    if (type == TERMINATE_RECORD_TYPE) return UnknownImageFormat;  // no image at all
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif, &code, &block) != GIF_OK) return UnknownImageFormat;
      bool first = true;
      while (block) {
        if (first && code == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4)
          frame->transparent = (block[1] & 1) ? block[4] : -1;
        first = false;
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) return UnknownImageFormat;
      }
      continue;
    }
    if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) != GIF_OK) return UnknownImageFormat;
      const GifImageDesc& d = gif->Image;
      if (d.Left < 0 || d.Top < 0 || d.Width < 0 || d.Height < 0) return UnknownImageFormat;
      frame->left = static_cast<uint32_t>(d.Left);
      frame->top = static_cast<uint32_t>(d.Top);
      frame->width = static_cast<uint32_t>(d.Width);
      frame->height = static_cast<uint32_t>(d.Height);
      frame->interlaced = d.Interlace;
      return Ok;
    }
    return UnknownImageFormat;
  }
}

GpStatus Describe(GifFileType* gif, const FirstFrame& f, size_t size, CodecImage* image) {
  const uint64_t w = std::max<uint64_t>(gif->SWidth > 0 ? gif->SWidth : 0, uint64_t{f.left} + f.width);
  const uint64_t h = std::max<uint64_t>(gif->SHeight > 0 ? gif->SHeight : 0, uint64_t{f.top} + f.height);
  const GpStatus sized = CheckDecodedSize(w, h, size);
  if (sized != Ok) return sized;
  image->width = static_cast<uint32_t>(w);
  image->height = static_cast<uint32_t>(h);
  image->pixelFormat = PixelFormat8bppIndexed;
  image->paletteFlags = 0;
  const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
  if (map && map->ColorCount > 0 && map->Colors) {
    image->paletteCount = static_cast<uint32_t>(std::min(map->ColorCount, 256));
    for (uint32_t i = 0; i < image->paletteCount; ++i) {
      const GifColorType& c = map->Colors[i];
      image->palette[i] = 0xFF000000u | (uint32_t{c.Red} << 16) | (uint32_t{c.Green} << 8) | c.Blue;
    }
  } else {
    image->SetGreyPalette(256, false);
  }
  if (f.transparent >= 0) {
    const uint32_t t = static_cast<uint32_t>(f.transparent);
    for (uint32_t i = image->paletteCount; i <= t; ++i) image->palette[i] = 0xFF000000u;
    if (t >= image->paletteCount) image->paletteCount = t + 1;
    image->palette[t] &= 0x00FFFFFFu;
    image->paletteFlags = PaletteFlagsHasAlpha;
  }
  return Ok;
}

}  // namespace

GpStatus ReadGifHeader(const uint8_t* data, size_t size, CodecImage* image) {
  GifHandle handle(data, size);
  if (!handle.get()) return UnknownImageFormat;
  FirstFrame frame;
  const GpStatus found = FindFirstFrame(handle.get(), &frame);
  if (found != Ok) return found;
  return Describe(handle.get(), frame, size, image);
}

GpStatus DecodeGifPixels(const uint8_t* data, size_t size, CodecImage* image) {
  GifHandle handle(data, size);
  GifFileType* gif = handle.get();
  if (!gif) return GenericError;
  FirstFrame frame;
  if (FindFirstFrame(gif, &frame) != Ok) return GenericError;
  const GpStatus described = Describe(gif, frame, size, image);
  if (described != Ok) return described;
  const GpStatus allocated = image->AllocatePixels();
  if (allocated != Ok) return allocated;
  const uint8_t fill = frame.transparent >= 0 ? static_cast<uint8_t>(frame.transparent)
                                              : static_cast<uint8_t>(gif->SColorMap ? gif->SBackGroundColor : 0);
  for (uint32_t y = 0; y < image->height; ++y) std::memset(image->Row(y), fill, image->width);
  if (frame.width == 0 || frame.height == 0) return Ok;

  static const uint32_t kStart[4] = {0, 4, 2, 1};
  static const uint32_t kStep[4] = {8, 8, 4, 2};
  const uint32_t passes = frame.interlaced ? 4 : 1;
  for (uint32_t pass = 0; pass < passes; ++pass) {
    const uint32_t start = frame.interlaced ? kStart[pass] : 0;
    const uint32_t step = frame.interlaced ? kStep[pass] : 1;
    for (uint32_t r = start; r < frame.height; r += step) {
      uint8_t* out = image->Row(frame.top + r) + frame.left;
      if (DGifGetLine(gif, out, static_cast<int>(frame.width)) != GIF_OK) return GenericError;
    }
  }
  return Ok;
}

}  // namespace ko
