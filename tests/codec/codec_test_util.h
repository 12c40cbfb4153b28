// Helpers for the codec stand-in tests: a GDI+ session, bitmaps from encoded bytes, whole
// locked images and property items as plain vectors.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ko/codec/gdiplus_bitmap.h"
#include "ko/codec/testing/codec_writers.h"

namespace codec_test {

// GdiplusStartup for the lifetime of the object.
class GdiplusSession {
 public:
  GdiplusSession();
  ~GdiplusSession();
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;

 private:
  uintptr_t token_ = 0;
};

std::vector<uint8_t> ToVector(const ko::CodecBuffer& b);

// Disposes of the bitmap on destruction.
struct Bitmap {
  Bitmap() = default;
  ~Bitmap();
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ko::GpStatus Create(const std::vector<uint8_t>& bytes);
  ko::GpBitmap* get() const { return bitmap; }
  int32_t Format() const;
  uint32_t Width() const;
  uint32_t Height() const;
  std::vector<uint32_t> Palette(uint32_t* flags = nullptr) const;
  ko::GpBitmap* bitmap = nullptr;
};

// The whole image locked in `format` (flags 1), rows packed without padding; the status of
// the lock in `status`.
std::vector<uint8_t> LockAll(ko::GpBitmap* b, int32_t format, ko::GpStatus* status = nullptr);

struct Item {
  uint32_t id;
  uint16_t type;
  std::vector<uint8_t> value;
};
std::vector<Item> Properties(ko::GpBitmap* b);
const Item* FindItem(const std::vector<Item>& items, uint32_t id);
std::string ItemText(const Item& item);  // up to the first NUL

// Captures what the code under test writes to the standard error stream.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string Take();

 private:
  int saved_ = -1;
  int file_ = -1;
  bool taken_ = false;
  std::string text_;
};

// A small EXIF TIFF structure (little-endian): IFD0 with Make (ASCII) and Orientation
// (SHORT), an Exif IFD with ExposureTime (RATIONAL) and an UNDEFINED UserComment.
std::vector<uint8_t> SampleExif();

}  // namespace codec_test
