#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "codec_test_util.h"

using namespace ko;
using namespace codec_test;

namespace {

// Samples of w x h pixels with `spp` samples each: bytes, or host-order uint16 at 16 bits.
std::vector<uint8_t> Samples(uint32_t w, uint32_t h, int spp, int bits, uint32_t seed = 1) {
  const size_t n = size_t{w} * h * spp;
  const uint32_t max = bits == 16 ? 65535u : (1u << bits) - 1;
  std::vector<uint8_t> out(n * (bits == 16 ? 2 : 1));
  uint32_t s = seed;
  for (size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    const uint32_t v = (s >> 9) % (max + 1);
    if (bits == 16) {
      const uint16_t x = static_cast<uint16_t>(v);
      std::memcpy(out.data() + 2 * i, &x, 2);
    } else {
      out[i] = static_cast<uint8_t>(v);
    }
  }
  return out;
}

uint32_t At(const std::vector<uint8_t>& s, size_t i, int bits) {
  if (bits != 16) return s[i];
  uint16_t v;
  std::memcpy(&v, s.data() + 2 * i, 2);
  return v;
}

TiffPage Page(const std::vector<uint8_t>& samples, uint32_t w, uint32_t h, int spp, int bits, int photometric) {
  TiffPage p;
  p.samples = samples.data();
  p.width = w;
  p.height = h;
  p.samplesPerPixel = spp;
  p.bitsPerSample = bits;
  p.stride = size_t{w} * spp * (bits == 16 ? 2 : 1);
  p.photometric = photometric;
  return p;
}

std::vector<uint8_t> Encode(const TiffPage& page, bool bigEndian = false) {
  CodecBuffer out;
  EXPECT_TRUE(WriteTiff(&page, 1, bigEndian, &out));
  return ToVector(out);
}

class TiffCodec : public ::testing::Test {
 protected:
  GdiplusSession session;
};

TEST_F(TiffCodec, GreyIsIndexedWithARampAndMinIsWhiteInvertsThePalette) {
  for (int bits : {1, 4, 8}) {
    for (int photometric : {1, 0}) {
      const auto samples = Samples(13, 5, 1, bits, 3);
      Bitmap b;
      ASSERT_EQ(b.Create(Encode(Page(samples, 13, 5, 1, bits, photometric))), Ok);
      EXPECT_EQ(b.Format(), bits == 1 ? PixelFormat1bppIndexed : bits == 4 ? PixelFormat4bppIndexed : PixelFormat8bppIndexed);
      const auto palette = b.Palette();
      const uint32_t n = 1u << bits;
      ASSERT_EQ(palette.size(), n);
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t level = static_cast<uint32_t>(std::lround(i * 255.0 / (n - 1)));
        const uint32_t g = photometric == 0 ? 255 - level : level;
        ASSERT_EQ(palette[i], 0xFF000000u | g << 16 | g << 8 | g) << bits << "/" << photometric;
      }
      EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), samples);
    }
  }
}

TEST_F(TiffCodec, SixteenBitGreyReadsTheSameFromEitherByteOrder) {
  const auto samples = Samples(9, 4, 1, 16, 8);
  for (bool bigEndian : {false, true}) {
    Bitmap b;
    ASSERT_EQ(b.Create(Encode(Page(samples, 9, 4, 1, 16, 1), bigEndian)), Ok);
    EXPECT_EQ(b.Format(), PixelFormat16bppGrayScale);
    const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
    for (size_t p = 0; p < 36; ++p) {
      const auto g = static_cast<uint8_t>(std::lround(At(samples, p, 16) * 255.0 / 65535.0));
      ASSERT_EQ(argb[4 * p], g) << bigEndian;
      ASSERT_EQ(argb[4 * p + 3], 255);
    }
  }
}

TEST_F(TiffCodec, PaletteImagesRoundTheirColourMapOrTakeAnEightBitOne) {
  const auto indices = Samples(6, 2, 1, 8, 4);
  std::vector<uint16_t> map(3 * 256);
  for (int i = 0; i < 256; ++i) {
    map[i] = static_cast<uint16_t>(i * 257);
    map[256 + i] = static_cast<uint16_t>(65535 - i * 200);
    map[512 + i] = static_cast<uint16_t>(i * 128);
  }
  auto page = Page(indices, 6, 2, 1, 8, 3);
  page.colormap = map.data();
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(page)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat8bppIndexed);
  auto entries = b.Palette();
  ASSERT_EQ(entries.size(), 256u);
  for (int i = 0; i < 256; i += 51) {
    const auto r = static_cast<uint32_t>(std::lround(map[i] * 255.0 / 65535));
    const auto g = static_cast<uint32_t>(std::lround(map[256 + i] * 255.0 / 65535));
    const auto bl = static_cast<uint32_t>(std::lround(map[512 + i] * 255.0 / 65535));
    EXPECT_EQ(entries[i], 0xFF000000u | r << 16 | g << 8 | bl) << i;
  }
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), indices);
  for (int i = 0; i < 768; ++i) map[i] = static_cast<uint16_t>(i % 256);  // an 8-bit map
  ASSERT_EQ(b.Create(Encode(page)), Ok);
  entries = b.Palette();
  EXPECT_EQ(entries[7], 0xFF070707u);
}

TEST_F(TiffCodec, RgbReadsAlikeAcrossLayoutsAndCompressions) {
  const uint32_t w = 40, h = 35;
  const auto samples = Samples(w, h, 3, 8, 11);
  struct Layout {
    int planar, compression;
    uint32_t tile, rows;
  };
  const Layout layouts[] = {{1, 1, 0, 0}, {1, 5, 0, 7},  {1, 8, 0, 0},     {1, 32773, 0, 3},
                            {2, 1, 0, 0}, {2, 8, 0, 9},  {1, 1, 16, 0},    {2, 5, 32, 0}};
  for (const Layout& l : layouts) {
    auto page = Page(samples, w, h, 3, 8, 2);
    page.planar = l.planar;
    page.compression = l.compression;
    page.tileWidth = page.tileHeight = l.tile;
    page.rowsPerStrip = l.rows;
    Bitmap b;
    ASSERT_EQ(b.Create(Encode(page)), Ok) << l.planar << "/" << l.compression << "/" << l.tile;
    EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
    const auto bgr = LockAll(b.get(), PixelFormat24bppRGB);
    ASSERT_EQ(bgr.size(), samples.size());
    for (size_t p = 0; p < size_t{w} * h; ++p) {
      ASSERT_EQ(bgr[3 * p], samples[3 * p + 2]) << l.planar << "/" << l.compression << "/" << l.tile << " " << p;
      ASSERT_EQ(bgr[3 * p + 1], samples[3 * p + 1]);
      ASSERT_EQ(bgr[3 * p + 2], samples[3 * p]);
    }
  }
}

TEST_F(TiffCodec, AlphaSamplesMakeArgbAndAssociatedAlphaIsUnpremultiplied) {
  std::vector<uint8_t> samples = {200, 100, 50, 255, 100, 50, 25, 128, 9, 9, 9, 0};
  for (int extra : {2, 1, 0}) {
    auto page = Page(samples, 3, 1, 4, 8, 2);
    page.extraSample = extra;
    Bitmap b;
    ASSERT_EQ(b.Create(Encode(page)), Ok);
    const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
    if (extra == 0) {  // an unspecified extra sample is not alpha
      EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
      EXPECT_EQ(argb, (std::vector<uint8_t>{50, 100, 200, 255, 25, 50, 100, 255, 9, 9, 9, 255}));
    } else if (extra == 2) {
      EXPECT_EQ(b.Format(), PixelFormat32bppARGB);
      EXPECT_EQ(argb, (std::vector<uint8_t>{50, 100, 200, 255, 25, 50, 100, 128, 9, 9, 9, 0}));
    } else {
      // c * 255 / a rounded: 100 * 255 / 128 = 199.2, 25 * 255 / 128 = 49.8; a = 0 gives 0.
      EXPECT_EQ(argb, (std::vector<uint8_t>{50, 100, 200, 255, 50, 100, 199, 128, 0, 0, 0, 0}));
    }
  }
  // Grey with alpha.
  std::vector<uint8_t> grey = {10, 255, 20, 7};
  auto page = Page(grey, 2, 1, 2, 8, 1);
  page.extraSample = 2;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(page)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat32bppARGB);
  EXPECT_EQ(LockAll(b.get(), PixelFormat32bppARGB), (std::vector<uint8_t>{10, 10, 10, 255, 20, 20, 20, 7}));
}

TEST_F(TiffCodec, SixteenBitColourIsFortyEightBitsRoundedWhenLocked) {
  const auto samples = Samples(5, 3, 3, 16, 21);
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(Page(samples, 5, 3, 3, 16, 2))), Ok);
  EXPECT_EQ(b.Format(), PixelFormat48bppRGB);
  const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
  for (size_t p = 0; p < 15; ++p)
    for (int c = 0; c < 3; ++c)
      ASSERT_EQ(argb[4 * p + c], static_cast<uint8_t>(std::lround(At(samples, 3 * p + 2 - c, 16) * 255.0 / 65535)));
}

TEST_F(TiffCodec, CmykComesAsRgb) {
  const auto samples = Samples(7, 3, 4, 8, 5);
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(Page(samples, 7, 3, 4, 8, 5))), Ok);
  EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
  const auto bgr = LockAll(b.get(), PixelFormat24bppRGB);
  for (size_t p = 0; p < 21; ++p) {
    const double k = 255 - samples[4 * p + 3];
    for (int c = 0; c < 3; ++c)
      ASSERT_EQ(bgr[3 * p + 2 - c], static_cast<uint8_t>(std::lround((255 - samples[4 * p + c]) * k / 255.0)));
  }
}

TEST_F(TiffCodec, JpegCompressedYCbCrComesAsRgb) {
  std::vector<uint8_t> samples(32 * 16 * 3);
  for (size_t i = 0; i < samples.size(); i += 3) {
    samples[i] = 200;
    samples[i + 1] = 120;
    samples[i + 2] = 40;
  }
  auto page = Page(samples, 32, 16, 3, 8, 6);
  page.compression = 7;
  page.rowsPerStrip = 16;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(page)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
  const auto bgr = LockAll(b.get(), PixelFormat24bppRGB);
  ASSERT_EQ(bgr.size(), samples.size());
  EXPECT_NEAR(bgr[0], 40, 4);
  EXPECT_NEAR(bgr[1], 120, 4);
  EXPECT_NEAR(bgr[2], 200, 4);
}

TEST_F(TiffCodec, OtherKindsGoThroughTheRgbaReaderAndFloatIsRefused) {
  std::vector<uint8_t> lab = {255, 0, 0, 255, 0, 0};  // L* 100, a* 0, b* 0: white
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(Page(lab, 2, 1, 3, 8, 8))), Ok);
  EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
  const auto bgr = LockAll(b.get(), PixelFormat24bppRGB);
  ASSERT_EQ(bgr.size(), 6u);
  // libtiff's display model maps L* 100 to a warm white; the point is that it is decoded.
  for (int c = 0; c < 3; ++c) {
    EXPECT_GT(bgr[c], 200);
    EXPECT_EQ(bgr[3 + c], bgr[c]);
  }

  std::vector<uint8_t> floats(4 * 4);
  const float v[4] = {0.f, 0.5f, 1.f, 2.f};
  std::memcpy(floats.data(), v, sizeof v);
  auto page = Page(floats, 4, 1, 1, 32, 1);
  page.stride = 16;
  page.sampleFormat = 3;
  EXPECT_EQ(b.Create(Encode(page)), UnknownImageFormat);
}

TEST_F(TiffCodec, OnlyTheFirstPageIsReadAndRowsComeAsStored) {
  const auto first = Samples(4, 3, 1, 8, 1);
  const auto second = Samples(6, 6, 3, 8, 2);
  TiffPage pages[2] = {Page(first, 4, 3, 1, 8, 1), Page(second, 6, 6, 3, 8, 2)};
  pages[0].orientation = 4;  // bottom-left: pixels still come in stored order
  CodecBuffer file;
  ASSERT_TRUE(WriteTiff(pages, 2, false, &file));
  Bitmap b;
  ASSERT_EQ(b.Create(ToVector(file)), Ok);
  EXPECT_EQ(b.Width(), 4u);
  EXPECT_EQ(b.Height(), 3u);
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), first);
}

TEST_F(TiffCodec, TagsOfTheFirstPageArePropertyItems) {
  const auto samples = Samples(4, 4, 1, 8);
  auto page = Page(samples, 4, 4, 1, 8, 1);
  page.description = "scan";
  page.artist = "me";
  page.xResolution = 300;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(page, true)), Ok);
  const auto items = Properties(b.get());
  ASSERT_TRUE(FindItem(items, 0x010E) && FindItem(items, 0x013B) && FindItem(items, 0x011A) && FindItem(items, 0x0100));
  EXPECT_EQ(ItemText(*FindItem(items, 0x010E)), "scan");
  EXPECT_EQ(FindItem(items, 0x011A)->type, PropertyTagTypeRational);
  uint32_t r[2];
  std::memcpy(r, FindItem(items, 0x011A)->value.data(), 8);
  EXPECT_EQ(r[0] / r[1], 300u);
}

TEST_F(TiffCodec, CutAndDamagedFilesFailQuietly) {
  const auto samples = Samples(64, 64, 3, 8);
  auto page = Page(samples, 64, 64, 3, 8, 2);
  page.compression = 8;
  const auto file = Encode(page);
  StderrCapture capture;
  Bitmap b;
  // libtiff writes the directory after the data: cutting the data keeps the header.
  std::vector<uint8_t> damaged = file;
  for (size_t i = 16; i < damaged.size() / 2; ++i) damaged[i] = static_cast<uint8_t>(i * 13);
  ASSERT_EQ(b.Create(damaged), Ok);
  GpStatus s;
  EXPECT_TRUE(LockAll(b.get(), PixelFormat24bppRGB, &s).empty());
  EXPECT_EQ(s, GenericError);
  EXPECT_EQ(b.Create(std::vector<uint8_t>(file.begin(), file.begin() + file.size() / 2)), UnknownImageFormat);
  EXPECT_EQ(b.Create(std::vector<uint8_t>{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}), UnknownImageFormat);
  EXPECT_EQ(capture.Take(), "");
}

}  // namespace
