#include <gtest/gtest.h>

#include "codec_test_util.h"

using namespace ko;
using namespace codec_test;

namespace {

std::vector<uint8_t> Ramp(int entries, int offset = 0) {
  std::vector<uint8_t> p(3 * entries);
  for (int i = 0; i < entries; ++i) {
    p[3 * i] = static_cast<uint8_t>(i * 3 + offset);
    p[3 * i + 1] = static_cast<uint8_t>(i * 5 + offset);
    p[3 * i + 2] = static_cast<uint8_t>(255 - i);
  }
  return p;
}

std::vector<uint8_t> Indices(uint32_t w, uint32_t h, int modulo, int seed = 0) {
  std::vector<uint8_t> v(size_t{w} * h);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>((i * 7 + seed + i / w) % modulo);
  return v;
}

std::vector<uint8_t> Encode(const std::vector<GifFrame>& frames, const GifWriteOptions& o) {
  CodecBuffer out;
  EXPECT_TRUE(WriteGif(frames.data(), static_cast<int>(frames.size()), o, &out));
  return ToVector(out);
}

class GifCodec : public ::testing::Test {
 protected:
  GdiplusSession session;
};

TEST_F(GifCodec, IsIndexedWithItsColourTableAndTheTransparentEntryClear) {
  const auto palette = Ramp(16);
  const auto indices = Indices(10, 6, 16);
  GifFrame f;
  f.indices = indices.data();
  f.width = 10;
  f.height = 6;
  f.transparent = 3;
  GifWriteOptions o;
  o.screenWidth = 10;
  o.screenHeight = 6;
  o.palette = palette.data();
  o.paletteCount = 16;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode({f}, o)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat8bppIndexed);
  uint32_t flags = 0;
  const auto entries = b.Palette(&flags);
  ASSERT_EQ(entries.size(), 16u);
  EXPECT_EQ(flags, PaletteFlagsHasAlpha);
  for (int i = 0; i < 16; ++i) {
    const uint32_t rgb = uint32_t{palette[3 * i]} << 16 | uint32_t{palette[3 * i + 1]} << 8 | palette[3 * i + 2];
    EXPECT_EQ(entries[i], (i == 3 ? 0u : 0xFF000000u) | rgb);
  }
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), indices);
  const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
  for (size_t p = 0; p < indices.size(); ++p) {
    ASSERT_EQ(argb[4 * p + 2], palette[3 * indices[p]]);
    ASSERT_EQ(argb[4 * p + 3], indices[p] == 3 ? 0 : 255);
  }
}

TEST_F(GifCodec, AnAnimationGivesItsFirstFrameAndALocalTableWins) {
  const auto global = Ramp(4);
  const auto local = Ramp(4, 100);
  const auto first = Indices(8, 8, 4);
  const auto second = Indices(8, 8, 4, 1);
  GifFrame a, b;
  a.indices = first.data();
  a.width = a.height = 8;
  a.palette = local.data();
  a.paletteCount = 4;
  b = a;
  b.indices = second.data();
  b.palette = nullptr;
  b.paletteCount = 0;
  GifWriteOptions o;
  o.screenWidth = o.screenHeight = 8;
  o.palette = global.data();
  o.paletteCount = 4;
  o.loop = true;
  Bitmap bitmap;
  ASSERT_EQ(bitmap.Create(Encode({a, b}, o)), Ok);
  EXPECT_EQ(LockAll(bitmap.get(), PixelFormat8bppIndexed), first);
  EXPECT_EQ(bitmap.Palette()[1] & 0xFF0000u, uint32_t{local[3]} << 16);
  EXPECT_TRUE(Properties(bitmap.get()).empty());
}

TEST_F(GifCodec, InterlacedRowsAreReordered) {
  const auto palette = Ramp(256);
  const auto indices = Indices(13, 19, 256);
  GifFrame f;
  f.indices = indices.data();
  f.width = 13;
  f.height = 19;
  f.interlaced = true;
  GifWriteOptions o;
  o.screenWidth = 13;
  o.screenHeight = 19;
  o.palette = palette.data();
  o.paletteCount = 256;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode({f}, o)), Ok);
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), indices);
}

TEST_F(GifCodec, AFrameSmallerThanTheScreenIsSurroundedByTransparencyOrBackground) {
  const auto palette = Ramp(8);
  const std::vector<uint8_t> indices = {1, 2, 3, 4};
  for (int transparent : {6, -1}) {
    GifFrame f;
    f.indices = indices.data();
    f.left = 1;
    f.top = 2;
    f.width = 2;
    f.height = 2;
    f.transparent = transparent;
    GifWriteOptions o;
    o.screenWidth = 4;
    o.screenHeight = 5;
    o.palette = palette.data();
    o.paletteCount = 8;
    o.background = 5;
    Bitmap b;
    ASSERT_EQ(b.Create(Encode({f}, o)), Ok);
    ASSERT_EQ(b.Width(), 4u);
    ASSERT_EQ(b.Height(), 5u);
    const uint8_t fill = transparent >= 0 ? 6 : 5;
    std::vector<uint8_t> expected(20, fill);
    expected[2 * 4 + 1] = 1;
    expected[2 * 4 + 2] = 2;
    expected[3 * 4 + 1] = 3;
    expected[3 * 4 + 2] = 4;
    EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), expected) << transparent;
  }
}

TEST_F(GifCodec, AFrameBeyondTheScreenEnlargesTheImage) {
  const auto palette = Ramp(2);
  const std::vector<uint8_t> indices(6 * 3, 1);
  GifFrame f;
  f.indices = indices.data();
  f.left = 2;
  f.top = 1;
  f.width = 6;
  f.height = 3;
  f.transparent = 0;
  GifWriteOptions o;
  o.screenWidth = 4;
  o.screenHeight = 2;
  o.palette = palette.data();
  o.paletteCount = 2;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode({f}, o)), Ok);
  EXPECT_EQ(b.Width(), 8u);
  EXPECT_EQ(b.Height(), 4u);
}

TEST_F(GifCodec, WithoutAnyColourTableTheIndicesAreGreyLevels) {
  const auto palette = Ramp(4);
  const std::vector<uint8_t> indices = {0, 1, 2, 3};
  GifFrame f;
  f.indices = indices.data();
  f.width = 4;
  f.height = 1;
  GifWriteOptions o;
  o.screenWidth = 4;
  o.screenHeight = 1;
  o.palette = palette.data();
  o.paletteCount = 4;
  auto file = Encode({f}, o);
  // Drop the global table: clear its flag (byte 10) and remove its 4 x 3 bytes.
  ASSERT_TRUE(file[10] & 0x80);
  file[10] &= 0x7F;
  file.erase(file.begin() + 13, file.begin() + 13 + 12);
  Bitmap b;
  ASSERT_EQ(b.Create(file), Ok);
  const auto entries = b.Palette();
  ASSERT_EQ(entries.size(), 256u);
  EXPECT_EQ(entries[200], 0xFFC8C8C8u);
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), indices);
}

TEST_F(GifCodec, ATransparentIndexBeyondTheTableExtendsThePalette) {
  const auto palette = Ramp(2);
  const std::vector<uint8_t> indices = {0, 1};
  GifFrame f;
  f.indices = indices.data();
  f.width = 2;
  f.height = 1;
  f.transparent = 9;
  GifWriteOptions o;
  o.screenWidth = 2;
  o.screenHeight = 1;
  o.palette = palette.data();
  o.paletteCount = 2;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode({f}, o)), Ok);
  const auto entries = b.Palette();
  ASSERT_EQ(entries.size(), 10u);
  EXPECT_EQ(entries[5], 0xFF000000u);
  EXPECT_EQ(entries[9], 0u);
}

TEST_F(GifCodec, CutAndDamagedFilesFail) {
  const auto palette = Ramp(256);
  const auto indices = Indices(64, 64, 256);
  GifFrame f;
  f.indices = indices.data();
  f.width = f.height = 64;
  GifWriteOptions o;
  o.screenWidth = o.screenHeight = 64;
  o.palette = palette.data();
  o.paletteCount = 256;
  const auto file = Encode({f}, o);
  StderrCapture capture;
  Bitmap b;
  ASSERT_EQ(b.Create(std::vector<uint8_t>(file.begin(), file.begin() + file.size() / 2)), Ok);
  GpStatus s;
  EXPECT_TRUE(LockAll(b.get(), PixelFormat8bppIndexed, &s).empty());
  EXPECT_EQ(s, GenericError);
  EXPECT_EQ(b.Create(std::vector<uint8_t>(file.begin(), file.begin() + 12)), UnknownImageFormat);
  // A screen and a table, then the trailer: no image at all.
  std::vector<uint8_t> empty(file.begin(), file.begin() + 13 + 768);
  empty.push_back(0x3B);
  EXPECT_EQ(b.Create(empty), UnknownImageFormat);
  EXPECT_EQ(capture.Take(), "");
}

}  // namespace
