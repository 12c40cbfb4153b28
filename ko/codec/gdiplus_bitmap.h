// A stand-in for the bitmap part of the GDI+ flat API, on the Debian codec libraries (and
// our own BMP decoder): a bitmap made from a file, its size, pixel format, palette and
// property items, and its pixels locked in 32bppARGB, 32bppRGB, 24bppRGB or (for indexed
// files) 8bppIndexed, into a buffer of ours or the caller's. Statuses, pixel-format values
// and memory layouts are the platform's.
//
// The decoder is chosen by the file's first bytes, never by its name. Creating a bitmap
// reads the header and the property items; the pixels are decoded at the first lock and
// kept until the bitmap is disposed, except when a first lock of the whole image can take
// the decoder's rows as they come (the file's own layout into the caller's buffer, or
// opaque 32-bit pixels the decoder writes itself): that lock decodes straight into its
// memory and keeps nothing. GdiplusStartup must have been called.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/codec/codec_image.h"

namespace ko {

struct GpRect {
  int32_t X;
  int32_t Y;
  int32_t Width;
  int32_t Height;
};

struct BitmapData {
  uint32_t Width;
  uint32_t Height;
  int32_t Stride;
  int32_t PixelFormat;
  void* Scan0;
  uintptr_t Reserved;
};

struct ColorPalette {
  uint32_t Flags;
  uint32_t Count;
  uint32_t Entries[1];  // Count entries, 0xAARRGGBB
};

struct PropertyItem {
  uint32_t id;
  uint32_t length;  // bytes at value
  uint16_t type;
  void* value;
};

enum ImageLockMode : uint32_t {
  ImageLockModeRead = 1,
  ImageLockModeWrite = 2,
  ImageLockModeUserInputBuf = 4,
};

// Opaque to callers; every bitmap is made by GdipCreateBitmapFrom* and freed by
// GdipDisposeImage.
class GpImage {
 public:
  struct State;
  State* state = nullptr;
};
class GpBitmap : public GpImage {};

// FileNotFound (10), AccessDenied (12), UnknownImageFormat (13) for a file no decoder takes
// or whose header is unreadable, ValueOverflow for an image beyond the decoding limits,
// OutOfMemory, GdiplusNotInitialized.
GpStatus GdipCreateBitmapFromFile(const char16_t* filename, GpBitmap** bitmap);
// The same from bytes in memory (copied); this stand-in's own addition, for tests.
GpStatus GdipCreateBitmapFromMemory(const void* data, size_t size, GpBitmap** bitmap);
GpStatus GdipDisposeImage(GpImage* image);

GpStatus GdipGetImageWidth(GpImage* image, uint32_t* width);
GpStatus GdipGetImageHeight(GpImage* image, uint32_t* height);
GpStatus GdipGetImagePixelFormat(GpImage* image, int32_t* format);
// Bytes a ColorPalette with all the image's entries takes (8 + 4 per entry, at least the
// size of the structure).
GpStatus GdipGetImagePaletteSize(GpImage* image, int32_t* size);
GpStatus GdipGetImagePalette(GpImage* image, ColorPalette* palette, int32_t size);

// rect null or inside the image; flags 1 (read into a buffer of ours, valid until unlock)
// or with ImageLockModeUserInputBuf (4) into the caller's buffer described by `data`
// (Stride at least the row's bytes). Formats: 32bppARGB, 32bppRGB, 24bppRGB, and
// 8bppIndexed for indexed images. A decoding failure is GenericError (OutOfMemory when
// memory ran out), and leaves a caller's buffer that was being decoded into zeroed; a
// second lock before the unlock is WrongState.
GpStatus GdipBitmapLockBits(GpBitmap* bitmap, const GpRect* rect, uint32_t flags, int32_t format,
                            BitmapData* data);
GpStatus GdipBitmapUnlockBits(GpBitmap* bitmap, BitmapData* data);

// Item records followed by their values, all in one buffer of the total size.
GpStatus GdipGetPropertySize(GpImage* image, uint32_t* totalBufferSize, uint32_t* numProperties);
GpStatus GdipGetAllPropertyItems(GpImage* image, uint32_t totalBufferSize, uint32_t numProperties,
                                 PropertyItem* allItems);

}  // namespace ko
