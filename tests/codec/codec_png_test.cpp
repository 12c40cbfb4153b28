#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "codec_test_util.h"
#include "ko/codec/png_decoder.h"

using namespace ko;
using namespace codec_test;

namespace {

int Channels(int colorType) {
  switch (colorType) {
    case 0:
    case 3: return 1;
    case 4: return 2;
    case 2: return 3;
    default: return 4;
  }
}

// Samples (bytes, or host-order uint16 at 16 bits) for a w x h image.
std::vector<uint8_t> Samples(uint32_t w, uint32_t h, int colorType, int depth, uint32_t seed = 1) {
  const int c = Channels(colorType);
  const uint32_t max = depth == 16 ? 65535u : (1u << depth) - 1;
  const size_t n = size_t{w} * h * c;
  std::vector<uint8_t> out(n * (depth == 16 ? 2 : 1));
  uint32_t s = seed;
  for (size_t i = 0; i < n; ++i) {
    s = s * 1103515245u + 12345u;
    const uint32_t v = (s >> 8) % (max + 1);
    if (depth == 16) {
      const uint16_t x = static_cast<uint16_t>(v);
      std::memcpy(out.data() + 2 * i, &x, 2);
    } else {
      out[i] = static_cast<uint8_t>(v);
    }
  }
  return out;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& samples, uint32_t w, uint32_t h, const PngWriteOptions& o) {
  const size_t stride = size_t{w} * Channels(o.colorType) * (o.bitDepth == 16 ? 2 : 1);
  CodecBuffer out;
  EXPECT_TRUE(WritePng(samples.data(), w, h, stride, o, &out));
  return ToVector(out);
}

uint32_t Sample(const std::vector<uint8_t>& s, size_t i, int depth) {
  if (depth != 16) return s[i];
  uint16_t v;
  std::memcpy(&v, s.data() + 2 * i, 2);
  return v;
}

uint8_t To8(uint32_t v, int depth) {
  return depth == 16 ? static_cast<uint8_t>(std::lround(v * 255.0 / 65535.0)) : static_cast<uint8_t>(v);
}

class PngCodec : public ::testing::Test {
 protected:
  GdiplusSession session;
};

TEST_F(PngCodec, ReportsThePixelFormatOfEachKindOfFile) {
  struct Case {
    int colorType, depth;
    bool trns;
    int32_t format;
  };
  const Case cases[] = {
      {0, 1, false, PixelFormat1bppIndexed},  {0, 2, false, PixelFormat4bppIndexed},
      {0, 4, false, PixelFormat4bppIndexed},  {0, 8, false, PixelFormat8bppIndexed},
      {0, 16, false, PixelFormat16bppGrayScale}, {0, 16, true, PixelFormat64bppARGB},
      {0, 8, true, PixelFormat8bppIndexed},   {2, 8, false, PixelFormat24bppRGB},
      {2, 8, true, PixelFormat32bppARGB},     {2, 16, false, PixelFormat48bppRGB},
      {2, 16, true, PixelFormat64bppARGB},    {3, 1, false, PixelFormat1bppIndexed},
      {3, 2, false, PixelFormat4bppIndexed},  {3, 8, true, PixelFormat8bppIndexed},
      {4, 8, false, PixelFormat32bppARGB},    {4, 16, false, PixelFormat64bppARGB},
      {6, 8, false, PixelFormat32bppARGB},    {6, 16, false, PixelFormat64bppARGB},
  };
  uint8_t palette[256 * 3];
  for (int i = 0; i < 256 * 3; ++i) palette[i] = static_cast<uint8_t>(i * 7);
  const uint8_t alpha[2] = {0, 128};
  const uint16_t key[3] = {1, 2, 3};
  for (const Case& c : cases) {
    PngWriteOptions o;
    o.colorType = c.colorType;
    o.bitDepth = c.depth;
    if (c.colorType == 3) {
      o.palette = palette;
      o.paletteCount = 1 << c.depth;
      if (c.trns) {
        o.paletteAlpha = alpha;
        o.paletteAlphaCount = 2;
      }
    } else if (c.trns) {
      if (c.colorType == 0) o.transparentGrey = 1;
      else o.transparentRgb = key;
    }
    Bitmap b;
    ASSERT_EQ(b.Create(Encode(Samples(5, 3, c.colorType, c.depth), 5, 3, o)), Ok);
    EXPECT_EQ(b.Format(), c.format) << "colour type " << c.colorType << " depth " << c.depth;
    EXPECT_EQ(b.Width(), 5u);
    EXPECT_EQ(b.Height(), 3u);
    GpStatus s;
    EXPECT_EQ(LockAll(b.get(), PixelFormat32bppARGB, &s).size(), 5u * 3 * 4);
    EXPECT_EQ(s, Ok);
  }
}

TEST_F(PngCodec, ColourSamplesComeInBlueGreenRedAlphaOrderAndSixteenBitsRound) {
  for (int colorType : {2, 4, 6}) {
    for (int depth : {8, 16}) {
      const uint32_t w = 7, h = 4;
      const auto samples = Samples(w, h, colorType, depth, 99);
      PngWriteOptions o;
      o.colorType = colorType;
      o.bitDepth = depth;
      Bitmap b;
      ASSERT_EQ(b.Create(Encode(samples, w, h, o)), Ok);
      const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
      ASSERT_EQ(argb.size(), size_t{w} * h * 4);
      const int c = Channels(colorType);
      for (size_t p = 0; p < size_t{w} * h; ++p) {
        const uint32_t r = Sample(samples, p * c, depth);
        const uint32_t g = c >= 3 ? Sample(samples, p * c + 1, depth) : r;
        const uint32_t bl = c >= 3 ? Sample(samples, p * c + 2, depth) : r;
        const uint32_t a = c == 2 ? Sample(samples, p * c + 1, depth) : c == 4 ? Sample(samples, p * c + 3, depth) : 0xFFFF;
        ASSERT_EQ(argb[4 * p + 0], To8(bl, depth)) << colorType << "/" << depth << " pixel " << p;
        ASSERT_EQ(argb[4 * p + 1], To8(g, depth));
        ASSERT_EQ(argb[4 * p + 2], To8(r, depth));
        ASSERT_EQ(argb[4 * p + 3], a == 0xFFFF && depth == 8 ? 255 : To8(a, depth));
      }
    }
  }
}

TEST_F(PngCodec, RgbLocksAsTwentyFourBitsWithoutConversion) {
  const auto samples = Samples(9, 5, 2, 8, 3);
  PngWriteOptions o;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(samples, 9, 5, o)), Ok);
  const auto bgr = LockAll(b.get(), PixelFormat24bppRGB);
  ASSERT_EQ(bgr.size(), samples.size());
  for (size_t p = 0; p < 45; ++p) {
    EXPECT_EQ(bgr[3 * p], samples[3 * p + 2]);
    EXPECT_EQ(bgr[3 * p + 1], samples[3 * p + 1]);
    EXPECT_EQ(bgr[3 * p + 2], samples[3 * p]);
  }
}

TEST_F(PngCodec, GreyFilesAreIndexedWithGreyRampsAndKeepTheirSamplesAsIndices) {
  for (int depth : {1, 2, 4, 8}) {
    const auto samples = Samples(11, 3, 0, depth, 5);
    PngWriteOptions o;
    o.colorType = 0;
    o.bitDepth = depth;
    Bitmap b;
    ASSERT_EQ(b.Create(Encode(samples, 11, 3, o)), Ok);
    uint32_t flags = 0;
    const auto palette = b.Palette(&flags);
    const uint32_t n = 1u << depth;
    ASSERT_EQ(palette.size(), n);
    EXPECT_EQ(flags, PaletteFlagsGrayScale);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t g = static_cast<uint32_t>(std::lround(i * 255.0 / (n - 1)));
      EXPECT_EQ(palette[i], 0xFF000000u | g << 16 | g << 8 | g) << depth << " entry " << i;
    }
    EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), samples) << depth;
  }
}

TEST_F(PngCodec, PaletteTransparencyBecomesEntryAlpha) {
  const uint8_t palette[4 * 3] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
  const uint8_t alpha[2] = {0, 77};
  const std::vector<uint8_t> indices = {0, 1, 2, 3, 3, 2, 1, 0};
  PngWriteOptions o;
  o.colorType = 3;
  o.bitDepth = 8;
  o.palette = palette;
  o.paletteCount = 4;
  o.paletteAlpha = alpha;
  o.paletteAlphaCount = 2;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(indices, 4, 2, o)), Ok);
  uint32_t flags = 0;
  const auto entries = b.Palette(&flags);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(flags & PaletteFlagsHasAlpha, PaletteFlagsHasAlpha);
  EXPECT_EQ(entries[0], 0x000A141Eu);
  EXPECT_EQ(entries[1], 0x4D28323Cu);
  EXPECT_EQ(entries[3], 0xFF646E78u);
  const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
  EXPECT_EQ(argb[0], 30);
  EXPECT_EQ(argb[3], 0);
  EXPECT_EQ(argb[4 * 1 + 3], 77);
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), indices);
}

TEST_F(PngCodec, GreyAndRgbTransparentColoursGetAlphaZero) {
  {
    const std::vector<uint8_t> grey = {0, 9, 200, 9};
    PngWriteOptions o;
    o.colorType = 0;
    o.transparentGrey = 9;
    Bitmap b;
    ASSERT_EQ(b.Create(Encode(grey, 4, 1, o)), Ok);
    EXPECT_EQ(b.Format(), PixelFormat8bppIndexed);
    const auto palette = b.Palette();
    EXPECT_EQ(palette[9], 0x00090909u);
    EXPECT_EQ(palette[8], 0xFF080808u);
    const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
    EXPECT_EQ(argb[3], 255);
    EXPECT_EQ(argb[7], 0);
    EXPECT_EQ(argb[11], 255);
  }
  {
    const std::vector<uint8_t> rgb = {1, 2, 3, 1, 2, 4};
    const uint16_t key[3] = {1, 2, 3};
    PngWriteOptions o;
    o.transparentRgb = key;
    Bitmap b;
    ASSERT_EQ(b.Create(Encode(rgb, 2, 1, o)), Ok);
    EXPECT_EQ(b.Format(), PixelFormat32bppARGB);
    const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
    EXPECT_EQ((std::vector<uint8_t>(argb.begin(), argb.end())), (std::vector<uint8_t>{3, 2, 1, 0, 4, 2, 1, 255}));
  }
}

TEST_F(PngCodec, SixteenBitGreyKeepsItsSamplesAndRoundsToEightBits) {
  std::vector<uint8_t> samples(4 * 2);
  const uint16_t values[4] = {0, 128, 32895, 65535};  // 32895 = 128.5 * 257 rounds to 128
  std::memcpy(samples.data(), values, sizeof values);
  PngWriteOptions o;
  o.colorType = 0;
  o.bitDepth = 16;
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(samples, 4, 1, o)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat16bppGrayScale);
  const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
  EXPECT_EQ(argb[0], 0);
  EXPECT_EQ(argb[4], 0);
  EXPECT_EQ(argb[8], 128);
  EXPECT_EQ(argb[12], 255);
}

TEST_F(PngCodec, InterlacedFilesDecodeToTheSamePixels) {
  for (int colorType : {2, 3, 6}) {
    const uint32_t w = 37, h = 21;
    const auto samples = Samples(w, h, colorType, 8, 7);
    uint8_t palette[256 * 3];
    for (int i = 0; i < 256 * 3; ++i) palette[i] = static_cast<uint8_t>(i);
    PngWriteOptions plain;
    plain.colorType = colorType;
    if (colorType == 3) {
      plain.palette = palette;
      plain.paletteCount = 256;
    }
    PngWriteOptions interlaced = plain;
    interlaced.interlaced = true;
    Bitmap a, b;
    ASSERT_EQ(a.Create(Encode(samples, w, h, plain)), Ok);
    ASSERT_EQ(b.Create(Encode(samples, w, h, interlaced)), Ok);
    EXPECT_EQ(LockAll(a.get(), PixelFormat32bppARGB), LockAll(b.get(), PixelFormat32bppARGB)) << colorType;
  }
}

TEST_F(PngCodec, ListsTheUsualChunksAsPropertyItems) {
  const uint32_t chrm[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
  const PngText texts[] = {{"Title", "A title", -1},
                           {"Author", "Someone", 0},
                           {"Description", "Long words", 2},
                           {"Copyright", "Free", 1},
                           {"Unlisted", "ignored", -1}};
  PngWriteOptions o;
  o.gamma = 45455;
  o.chromaticities = chrm;
  o.physical = true;
  o.pixelsPerUnitX = 2835;
  o.pixelsPerUnitY = 5670;
  o.time = true;
  o.year = 2021;
  o.month = 3;
  o.day = 4;
  o.hour = 5;
  o.minute = 6;
  o.second = 7;
  o.texts = texts;
  o.textCount = 5;
  o.textAfterImage = true;  // after the pixels: still found
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(Samples(3, 3, 2, 8), 3, 3, o)), Ok);
  const auto items = Properties(b.get());
  auto rational = [](const Item& i, int k) {
    uint32_t v[2];
    std::memcpy(v, i.value.data() + 8 * k, 8);
    return std::pair<uint32_t, uint32_t>(v[0], v[1]);
  };
  const Item* gamma = FindItem(items, 0x0301);
  ASSERT_TRUE(gamma);
  EXPECT_EQ(gamma->type, PropertyTagTypeRational);
  EXPECT_EQ(rational(*gamma, 0), std::make_pair(100000u, 45455u));
  const Item* white = FindItem(items, 0x013E);
  const Item* primaries = FindItem(items, 0x013F);
  ASSERT_TRUE(white && primaries);
  EXPECT_EQ(rational(*white, 1), std::make_pair(32900u, 100000u));
  EXPECT_EQ(primaries->value.size(), 48u);
  EXPECT_EQ(rational(*primaries, 5), std::make_pair(6000u, 100000u));
  const Item* unit = FindItem(items, 0x5110);
  const Item* x = FindItem(items, 0x5111);
  const Item* y = FindItem(items, 0x5112);
  ASSERT_TRUE(unit && x && y);
  EXPECT_EQ(unit->value, std::vector<uint8_t>{1});
  uint32_t ppu = 0;
  std::memcpy(&ppu, y->value.data(), 4);
  EXPECT_EQ(ppu, 5670u);
  const Item* date = FindItem(items, 0x0132);
  ASSERT_TRUE(date);
  EXPECT_EQ(date->type, PropertyTagTypeASCII);
  EXPECT_EQ(date->value.size(), 20u);
  EXPECT_EQ(ItemText(*date), "2021:03:04 05:06:07");
  ASSERT_TRUE(FindItem(items, 0x0320) && FindItem(items, 0x013B) && FindItem(items, 0x010E) && FindItem(items, 0x8298));
  EXPECT_EQ(ItemText(*FindItem(items, 0x0320)), "A title");
  EXPECT_EQ(ItemText(*FindItem(items, 0x013B)), "Someone");
  EXPECT_EQ(ItemText(*FindItem(items, 0x010E)), "Long words");
  EXPECT_EQ(ItemText(*FindItem(items, 0x8298)), "Free");
  EXPECT_EQ(items.size(), 11u);
}

TEST_F(PngCodec, CutOrDamagedFilesFailQuietly) {
  const auto samples = Samples(64, 64, 2, 8);
  const auto file = Encode(samples, 64, 64, PngWriteOptions());
  StderrCapture capture;
  {
    // Cut inside the image data: the header reads, the pixels do not.
    Bitmap b;
    ASSERT_EQ(b.Create(std::vector<uint8_t>(file.begin(), file.begin() + file.size() / 2)), Ok);
    GpStatus s;
    EXPECT_TRUE(LockAll(b.get(), PixelFormat32bppARGB, &s).empty());
    EXPECT_EQ(s, GenericError);
    EXPECT_EQ(LockAll(b.get(), PixelFormat24bppRGB, &s).size(), 0u);
    EXPECT_EQ(s, GenericError);  // the failure is remembered
  }
  {
    Bitmap b;
    EXPECT_EQ(b.Create(std::vector<uint8_t>(file.begin(), file.begin() + 20)), UnknownImageFormat);
    auto damaged = file;
    damaged[16] ^= 0x40;  // width inside IHDR: its CRC no longer matches
    EXPECT_EQ(b.Create(damaged), UnknownImageFormat);
  }
  EXPECT_EQ(capture.Take(), "");
}

TEST(PngDecoder, DecodesFromMemoryWithoutTheBitmapLayer) {
  const std::vector<uint8_t> grey = {5, 6, 7, 8, 9, 10};
  PngWriteOptions o;
  o.colorType = 0;
  CodecBuffer file;
  ASSERT_TRUE(WritePng(grey.data(), 3, 2, 3, o, &file));
  CodecImage image;
  ASSERT_EQ(ReadPngHeader(file.data(), file.size(), &image), Ok);
  EXPECT_EQ(image.pixels.size(), 0u);
  ASSERT_EQ(DecodePngPixels(file.data(), file.size(), &image), Ok);
  EXPECT_EQ(std::vector<uint8_t>(image.pixels.data(), image.pixels.data() + 6), grey);
}

}  // namespace
