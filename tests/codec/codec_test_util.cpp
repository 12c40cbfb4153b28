#include "codec_test_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ko/platform/platform_services.h"

using namespace ko;

namespace codec_test {

GdiplusSession::GdiplusSession() {
  GdiplusStartupInput input;
  GdiplusStartup(&token_, &input, nullptr);
}
GdiplusSession::~GdiplusSession() { GdiplusShutdown(token_); }

std::vector<uint8_t> ToVector(const CodecBuffer& b) { return std::vector<uint8_t>(b.data(), b.data() + b.size()); }

Bitmap::~Bitmap() {
  if (bitmap) GdipDisposeImage(bitmap);
}

GpStatus Bitmap::Create(const std::vector<uint8_t>& bytes) {
  if (bitmap) GdipDisposeImage(bitmap);
  bitmap = nullptr;
  return GdipCreateBitmapFromMemory(bytes.data(), bytes.size(), &bitmap);
}

int32_t Bitmap::Format() const {
  int32_t f = 0;
  GdipGetImagePixelFormat(bitmap, &f);
  return f;
}
uint32_t Bitmap::Width() const {
  uint32_t w = 0;
  GdipGetImageWidth(bitmap, &w);
  return w;
}
uint32_t Bitmap::Height() const {
  uint32_t h = 0;
  GdipGetImageHeight(bitmap, &h);
  return h;
}

std::vector<uint32_t> Bitmap::Palette(uint32_t* flags) const {
  int32_t size = 0;
  GdipGetImagePaletteSize(bitmap, &size);
  std::vector<uint8_t> buffer(static_cast<size_t>(size));
  auto* p = reinterpret_cast<ColorPalette*>(buffer.data());
  if (GdipGetImagePalette(bitmap, p, size) != Ok) return {};
  if (flags) *flags = p->Flags;
  return std::vector<uint32_t>(p->Entries, p->Entries + p->Count);
}

std::vector<uint8_t> LockAll(GpBitmap* b, int32_t format, GpStatus* status) {
  BitmapData data{};
  const GpStatus s = GdipBitmapLockBits(b, nullptr, ImageLockModeRead, format, &data);
  if (status) *status = s;
  if (s != Ok) return {};
  const size_t rowBytes = size_t{data.Width} * (GetPixelFormatSize(format) / 8);
  std::vector<uint8_t> out(rowBytes * data.Height);
  for (uint32_t y = 0; y < data.Height; ++y)
    std::memcpy(out.data() + y * rowBytes, static_cast<uint8_t*>(data.Scan0) + size_t{y} * data.Stride, rowBytes);
  GdipBitmapUnlockBits(b, &data);
  return out;
}

std::vector<Item> Properties(GpBitmap* b) {
  uint32_t total = 0, count = 0;
  GdipGetPropertySize(b, &total, &count);
  std::vector<Item> items;
  if (count == 0) return items;
  std::vector<uint64_t> buffer((total + 7) / 8);
  auto* all = reinterpret_cast<PropertyItem*>(buffer.data());
  if (GdipGetAllPropertyItems(b, total, count, all) != Ok) return items;
  for (uint32_t i = 0; i < count; ++i) {
    const auto* v = static_cast<const uint8_t*>(all[i].value);
    items.push_back({all[i].id, all[i].type, std::vector<uint8_t>(v, v + all[i].length)});
  }
  return items;
}

const Item* FindItem(const std::vector<Item>& items, uint32_t id) {
  for (const Item& i : items)
    if (i.id == id) return &i;
  return nullptr;
}

std::string ItemText(const Item& item) {
  std::string s(item.value.begin(), item.value.end());
  return s.substr(0, s.find('\0'));
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  char name[] = "/tmp/codec_stderr_XXXXXX";
  file_ = mkstemp(name);
  unlink(name);
  saved_ = dup(2);
  dup2(file_, 2);
}

StderrCapture::~StderrCapture() { Take(); }

std::string StderrCapture::Take() {
  if (taken_) return text_;
  taken_ = true;
  std::fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  lseek(file_, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(file_, buf, sizeof buf)) > 0) text_.append(buf, static_cast<size_t>(n));
  close(file_);
  return text_;
}

namespace {
void Put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
void Entry(std::vector<uint8_t>& v, size_t at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  Put16(v, at, tag);
  Put16(v, at + 2, type);
  Put32(v, at + 4, count);
  Put32(v, at + 8, value);
}
}  // namespace

std::vector<uint8_t> SampleExif() {
  // Header (8) | IFD0 at 8: 3 entries (2 + 36 + 4 = 42) -> 50 | Exif IFD at 50: 2 entries
  // (2 + 24 + 4 = 30) -> 80 | "Camera\0" at 80 (7) | rational at 88 (8) | comment at 96 (12)
  std::vector<uint8_t> v(108, 0);
  v[0] = 'I';
  v[1] = 'I';
  Put16(v, 2, 42);
  Put32(v, 4, 8);
  Put16(v, 8, 3);
  Entry(v, 10, 0x010F, 2, 7, 80);      // Make
  Entry(v, 22, 0x0112, 3, 1, 6);       // Orientation 6 (stored in the first two bytes)
  Entry(v, 34, 0x8769, 4, 1, 50);      // Exif IFD
  Put32(v, 46, 0);
  Put16(v, 50, 2);
  Entry(v, 52, 0x829A, 5, 1, 88);      // ExposureTime
  Entry(v, 64, 0x9286, 7, 12, 96);     // UserComment
  Put32(v, 76, 0);
  std::memcpy(v.data() + 80, "Camera", 7);
  Put32(v, 88, 1);
  Put32(v, 92, 250);
  std::memcpy(v.data() + 96, "ASCII\0\0\0hey!", 12);
  return v;
}

}  // namespace codec_test
