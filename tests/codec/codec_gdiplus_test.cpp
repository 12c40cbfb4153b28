#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "codec_test_util.h"
#include "ko/platform/memory.h"
#include "ko/platform/path_codec.h"
#include "ko/platform/platform_services.h"

using namespace ko;
using namespace codec_test;

namespace {

std::vector<uint8_t> SmallPng(uint32_t w, uint32_t h, int colorType = 6) {
  const int channels = colorType == 6 ? 4 : colorType == 2 ? 3 : 1;
  std::vector<uint8_t> samples(size_t{w} * h * channels);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 11);
  PngWriteOptions o;
  o.colorType = colorType;
  const PngText text = {"Title", "t", -1};
  o.texts = &text;
  o.textCount = 1;
  o.gamma = 50000;
  CodecBuffer out;
  EXPECT_TRUE(WritePng(samples.data(), w, h, size_t{w} * channels, o, &out));
  return ToVector(out);
}

std::string TempPath(const char* name) {
  return std::string(::testing::TempDir()) + "/codec_gdiplus_" + std::to_string(getpid()) + "_" + name;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

GpStatus CreateFromFile(const std::string& path, Bitmap* b) {
  if (b->bitmap) GdipDisposeImage(b->bitmap);
  b->bitmap = nullptr;
  return GdipCreateBitmapFromFile(DecodeNarrowPath(path.c_str()).c_str(), &b->bitmap);
}

class GdiplusBitmap : public ::testing::Test {
 protected:
  GdiplusSession session;
};

TEST_F(GdiplusBitmap, TheSignatureDecidesNotTheName) {
  const std::string text = TempPath("text.png"), png = TempPath("picture.jpg"), missing = TempPath("none.png");
  WriteFile(text, {'h', 'e', 'l', 'l', 'o', '\n'});
  WriteFile(png, SmallPng(3, 2));
  Bitmap b;
  EXPECT_EQ(CreateFromFile(text, &b), UnknownImageFormat);
  EXPECT_EQ(b.bitmap, nullptr);
  EXPECT_EQ(CreateFromFile(png, &b), Ok);
  EXPECT_EQ(b.Format(), PixelFormat32bppARGB);
  EXPECT_EQ(CreateFromFile(missing, &b), FileNotFound);
  EXPECT_EQ(CreateFromFile(TempPath("no/such/dir.png"), &b), FileNotFound);
  EXPECT_EQ(CreateFromFile(std::string(::testing::TempDir()), &b), AccessDenied);  // a directory
  WriteFile(text, {});
  EXPECT_EQ(CreateFromFile(text, &b), UnknownImageFormat);  // empty
  if (geteuid() != 0) {  // permissions do not stop root
    chmod(png.c_str(), 0);
    EXPECT_EQ(CreateFromFile(png, &b), AccessDenied);
  }
  std::remove(text.c_str());
  std::remove(png.c_str());
}

TEST_F(GdiplusBitmap, LocksIntoItsOwnBufferOrTheCallersWithRectanglesAndStrides) {
  Bitmap b;
  ASSERT_EQ(b.Create(SmallPng(5, 4)), Ok);
  const auto whole = LockAll(b.get(), PixelFormat32bppARGB);
  ASSERT_EQ(whole.size(), 80u);

  BitmapData data{};
  const GpRect rect{1, 2, 3, 2};
  ASSERT_EQ(GdipBitmapLockBits(b.get(), &rect, ImageLockModeRead, PixelFormat24bppRGB, &data), Ok);
  EXPECT_EQ(data.Width, 3u);
  EXPECT_EQ(data.Height, 2u);
  EXPECT_EQ(data.Stride, 12);  // 9 bytes rounded up to a multiple of 4
  EXPECT_EQ(data.PixelFormat, PixelFormat24bppRGB);
  const auto* rows = static_cast<const uint8_t*>(data.Scan0);
  EXPECT_EQ(rows[12 + 3], whole[(3 * 5 + 2) * 4]);  // pixel (2, 3), blue
  BitmapData second{};
  EXPECT_EQ(GdipBitmapLockBits(b.get(), nullptr, ImageLockModeRead, PixelFormat32bppARGB, &second), WrongState);
  EXPECT_EQ(GdipBitmapUnlockBits(b.get(), &data), Ok);
  EXPECT_EQ(GdipBitmapUnlockBits(b.get(), &data), WrongState);

  // The caller's memory, with a wide stride: bytes between rows stay untouched.
  std::vector<uint8_t> mine(4 * 32, 0xEE);
  data = BitmapData{5, 4, 32, PixelFormat32bppARGB, mine.data(), 0};
  ASSERT_EQ(GdipBitmapLockBits(b.get(), nullptr, 7, PixelFormat32bppARGB, &data), Ok);
  EXPECT_EQ(data.Scan0, mine.data());
  EXPECT_EQ(GdipBitmapUnlockBits(b.get(), &data), Ok);
  for (int y = 0; y < 4; ++y) {
    EXPECT_TRUE(std::equal(mine.begin() + 32 * y, mine.begin() + 32 * y + 20, whole.begin() + 20 * y));
    EXPECT_EQ(mine[32 * y + 20], 0xEE);
  }
  // A fresh bitmap decodes straight into the caller's memory, and still locks afterwards.
  Bitmap fresh;
  ASSERT_EQ(fresh.Create(SmallPng(5, 4)), Ok);
  std::vector<uint8_t> direct(4 * 32, 0xEE);
  data = BitmapData{5, 4, 32, PixelFormat32bppARGB, direct.data(), 0};
  ASSERT_EQ(GdipBitmapLockBits(fresh.get(), nullptr, 7, PixelFormat32bppARGB, &data), Ok);
  EXPECT_EQ(GdipBitmapUnlockBits(fresh.get(), &data), Ok);
  EXPECT_EQ(direct, mine);
  EXPECT_EQ(LockAll(fresh.get(), PixelFormat32bppARGB), whole);
  data = BitmapData{5, 4, 19, PixelFormat32bppARGB, mine.data(), 0};
  EXPECT_EQ(GdipBitmapLockBits(b.get(), nullptr, 7, PixelFormat32bppARGB, &data), InvalidParameter);

  const GpRect outside{3, 0, 3, 1};
  EXPECT_EQ(GdipBitmapLockBits(b.get(), &outside, 1, PixelFormat32bppARGB, &data), InvalidParameter);
  EXPECT_EQ(GdipBitmapLockBits(b.get(), nullptr, 1, PixelFormat8bppIndexed, &data), InvalidParameter);
  EXPECT_EQ(GdipBitmapLockBits(b.get(), nullptr, 1, PixelFormat48bppRGB, &data), InvalidParameter);
  EXPECT_EQ(GdipBitmapLockBits(b.get(), nullptr, 2, PixelFormat32bppARGB, &data), InvalidParameter);
  // 32bppRGB: the fourth byte is 255.
  const auto rgbx = LockAll(b.get(), PixelFormat32bppRGB);
  EXPECT_EQ(rgbx[3], 255);
  EXPECT_EQ(rgbx[0], whole[0]);
}

TEST_F(GdiplusBitmap, PropertyItemsComeInOneBufferOfTheAnnouncedSize) {
  Bitmap b;
  ASSERT_EQ(b.Create(SmallPng(2, 2)), Ok);
  uint32_t total = 0, count = 0;
  ASSERT_EQ(GdipGetPropertySize(b.get(), &total, &count), Ok);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(total, 2 * sizeof(PropertyItem) + 8 + 2);  // gamma rational, "t\0"
  std::vector<uint64_t> buffer((total + 7) / 8);
  auto* items = reinterpret_cast<PropertyItem*>(buffer.data());
  EXPECT_EQ(GdipGetAllPropertyItems(b.get(), total - 1, count, items), InvalidParameter);
  EXPECT_EQ(GdipGetAllPropertyItems(b.get(), total, count + 1, items), InvalidParameter);
  ASSERT_EQ(GdipGetAllPropertyItems(b.get(), total, count, items), Ok);
  const auto* begin = reinterpret_cast<const uint8_t*>(items);
  for (uint32_t i = 0; i < count; ++i) {
    const auto* v = static_cast<const uint8_t*>(items[i].value);
    EXPECT_GE(v, begin + count * sizeof(PropertyItem));
    EXPECT_LE(v + items[i].length, begin + total);
  }
  EXPECT_EQ(items[0].id, 0x0301u);
  EXPECT_EQ(items[1].id, 0x0320u);
}

TEST_F(GdiplusBitmap, PaletteCallsCheckTheirBuffer) {
  Bitmap b;
  ASSERT_EQ(b.Create(SmallPng(4, 4, 0)), Ok);
  int32_t size = 0;
  ASSERT_EQ(GdipGetImagePaletteSize(b.get(), &size), Ok);
  EXPECT_EQ(size, 8 + 4 * 256);
  std::vector<uint8_t> buffer(static_cast<size_t>(size));
  auto* palette = reinterpret_cast<ColorPalette*>(buffer.data());
  EXPECT_EQ(GdipGetImagePalette(b.get(), palette, size - 4), InvalidParameter);
  EXPECT_EQ(GdipGetImagePalette(b.get(), palette, size), Ok);
  EXPECT_EQ(palette->Count, 256u);
  ASSERT_EQ(b.Create(SmallPng(4, 4, 2)), Ok);
  ASSERT_EQ(GdipGetImagePaletteSize(b.get(), &size), Ok);
  EXPECT_EQ(size, static_cast<int32_t>(sizeof(ColorPalette)));
  EXPECT_EQ(GdipGetImagePalette(b.get(), palette, size), Ok);
  EXPECT_EQ(palette->Count, 0u);
}

TEST_F(GdiplusBitmap, DecodingLimitsFollowTheFileSize) {
  EXPECT_EQ(CheckDecodedSize(0, 5, 100), UnknownImageFormat);
  EXPECT_EQ(CheckDecodedSize(4096, 4096, 100), Ok);               // 16.7 M pixels: always allowed
  EXPECT_EQ(CheckDecodedSize(4097, 4096, 100), ValueOverflow);    // more needs a larger file
  EXPECT_EQ(CheckDecodedSize(4097, 4096, 4097), Ok);
  EXPECT_EQ(CheckDecodedSize(uint64_t{1} << 27, 1, SIZE_MAX), Ok);
  EXPECT_EQ(CheckDecodedSize((uint64_t{1} << 27) + 1, 1, SIZE_MAX), ValueOverflow);
  EXPECT_EQ(CheckDecodedSize(uint64_t{1} << 32, uint64_t{1} << 32, SIZE_MAX), ValueOverflow);
}

TEST_F(GdiplusBitmap, FailedAllocationsAreStatusesNotCrashes) {
  const auto png = SmallPng(16, 16);
  for (int64_t n = 0; n < 40; ++n) {
    Bitmap b;
    GpStatus created;
    {
      ScopedAllocFailure fail(n);
      created = b.Create(png);
    }
    if (created != Ok) {
      EXPECT_EQ(created, OutOfMemory) << n;
      continue;
    }
    GpStatus locked;
    {
      ScopedAllocFailure fail(n);
      LockAll(b.get(), PixelFormat24bppRGB, &locked);
    }
    EXPECT_TRUE(locked == Ok || locked == OutOfMemory) << n << " " << locked;
  }
}

TEST(GdiplusStartupState, CallsBeforeStartupAreRefused) {
  int outstanding = GdiplusActiveCount();
  for (int i = 0; i < outstanding; ++i) GdiplusShutdown(1);
  GpBitmap* b = nullptr;
  const auto png = SmallPng(1, 1);
  EXPECT_EQ(GdipCreateBitmapFromMemory(png.data(), png.size(), &b), GdiplusNotInitialized);
  EXPECT_EQ(b, nullptr);
  GdiplusStartupInput input;
  uintptr_t token = 0;
  for (int i = 0; i < outstanding; ++i) GdiplusStartup(&token, &input, nullptr);
}

}  // namespace
