// Shared body of the codec fuzz targets: a bitmap made from the bytes through the codec
// stand-in, its size, format, palette and property items read, and its pixels locked in
// every layout the readers ask for, each byte of them read so that the sanitizers see any
// stray write or uninitialised value.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ko/codec/gdiplus_bitmap.h"
#include "ko/platform/platform_services.h"

namespace codec_fuzz {

inline void Touch(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  volatile uint32_t sink = sum;
  (void)sink;
}

inline void Lock(ko::GpBitmap* b, int32_t format, const ko::GpRect* rect) {
  ko::BitmapData data{};
  if (ko::GdipBitmapLockBits(b, rect, ko::ImageLockModeRead, format, &data) != ko::Ok) return;
  const size_t row = size_t{data.Width} * (ko::GetPixelFormatSize(format) / 8);
  for (uint32_t y = 0; y < data.Height; ++y) Touch(static_cast<const uint8_t*>(data.Scan0) + size_t{y} * data.Stride, row);
  ko::GdipBitmapUnlockBits(b, &data);
}

inline int Run(const uint8_t* data, size_t size, ko::CodecKind kind) {
  if (ko::DetectCodec(data, size) != kind) return 0;
  static const bool started = [] {
    uintptr_t token = 0;
    ko::GdiplusStartupInput input;
    return ko::GdiplusStartup(&token, &input, nullptr) == 0;
  }();
  (void)started;
  ko::GpBitmap* bitmap = nullptr;
  if (ko::GdipCreateBitmapFromMemory(data, size, &bitmap) != ko::Ok) return 0;
  uint32_t w = 0, h = 0, total = 0, count = 0;
  int32_t format = 0, paletteSize = 0;
  ko::GdipGetImageWidth(bitmap, &w);
  ko::GdipGetImageHeight(bitmap, &h);
  ko::GdipGetImagePixelFormat(bitmap, &format);
  ko::GdipGetImagePaletteSize(bitmap, &paletteSize);
  std::vector<uint32_t> palette(static_cast<size_t>(paletteSize) / 4 + 1);
  ko::GdipGetImagePalette(bitmap, reinterpret_cast<ko::ColorPalette*>(palette.data()), paletteSize);
  ko::GdipGetPropertySize(bitmap, &total, &count);
  std::vector<uint64_t> items(total / 8 + 1);
  if (count && ko::GdipGetAllPropertyItems(bitmap, total, count, reinterpret_cast<ko::PropertyItem*>(items.data())) == ko::Ok) {
    const auto* all = reinterpret_cast<const ko::PropertyItem*>(items.data());
    for (uint32_t i = 0; i < count; ++i) Touch(static_cast<const uint8_t*>(all[i].value), all[i].length);
  }
  // Large declared images only cost time; keep the search on decoding.
  if (uint64_t{w} * h <= (uint64_t{1} << 16)) {
    Lock(bitmap, ko::PixelFormat32bppARGB, nullptr);
    Lock(bitmap, ko::PixelFormat24bppRGB, nullptr);
    if (format & ko::PixelFormatIndexed) Lock(bitmap, ko::PixelFormat8bppIndexed, nullptr);
    const ko::GpRect corner{static_cast<int32_t>(w / 2), static_cast<int32_t>(h / 2),
                            static_cast<int32_t>(w - w / 2), static_cast<int32_t>(h - h / 2)};
    Lock(bitmap, ko::PixelFormat32bppRGB, &corner);
  }
  ko::GdipDisposeImage(bitmap);
  return 0;
}

}  // namespace codec_fuzz
