#include <gtest/gtest.h>

#include <cstring>

#include "codec_test_util.h"
#include "ko/codec/bmp_decoder.h"

using namespace ko;
using namespace codec_test;

namespace {

// Windows bitmap bytes written out field by field.
struct BmpSpec {
  uint32_t headerSize = 40;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bitCount = 24;
  uint32_t compression = 0;
  uint32_t masks[4] = {};          // written for bit fields (after a 40-byte header, or inside larger ones)
  std::vector<uint32_t> palette;   // 0x00RRGGBB entries
  uint32_t colorsUsed = 0;
  std::vector<uint8_t> pixels;     // as stored (rows padded by the caller)
  int64_t pixelOffset = -1;        // -1: right after the palette
};

void Put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

std::vector<uint8_t> Build(const BmpSpec& s) {
  const bool fieldsAfter = s.headerSize == 40 && (s.compression == 3 || s.compression == 6);
  const size_t maskBytes = fieldsAfter ? (s.compression == 6 ? 16 : 12) : 0;
  const size_t entry = s.headerSize == 12 ? 3 : 4;
  const size_t paletteAt = 14 + s.headerSize + maskBytes;
  const size_t pixelsAt = s.pixelOffset >= 0 ? static_cast<size_t>(s.pixelOffset) : paletteAt + entry * s.palette.size();
  std::vector<uint8_t> v(std::max(pixelsAt + s.pixels.size(), paletteAt + entry * s.palette.size()), 0);
  v[0] = 'B';
  v[1] = 'M';
  Put32(v, 2, static_cast<uint32_t>(v.size()));
  Put32(v, 10, static_cast<uint32_t>(pixelsAt));
  Put32(v, 14, s.headerSize);
  if (s.headerSize == 12) {
    Put16(v, 18, static_cast<uint32_t>(s.width));
    Put16(v, 20, static_cast<uint32_t>(s.height));
    Put16(v, 22, 1);
    Put16(v, 24, s.bitCount);
  } else {
    Put32(v, 18, static_cast<uint32_t>(s.width));
    Put32(v, 22, static_cast<uint32_t>(s.height));
    Put16(v, 26, 1);
    Put16(v, 28, s.bitCount);
    Put32(v, 30, s.compression);
    Put32(v, 46, s.colorsUsed);
    if (fieldsAfter) {
      for (size_t i = 0; i < maskBytes / 4; ++i) Put32(v, 54 + 4 * i, s.masks[i]);
    } else if (s.headerSize >= 56) {
      for (int i = 0; i < 4; ++i) Put32(v, 54 + 4 * i, s.masks[i]);
    }
  }
  for (size_t i = 0; i < s.palette.size(); ++i) {
    v[paletteAt + entry * i] = static_cast<uint8_t>(s.palette[i]);
    v[paletteAt + entry * i + 1] = static_cast<uint8_t>(s.palette[i] >> 8);
    v[paletteAt + entry * i + 2] = static_cast<uint8_t>(s.palette[i] >> 16);
  }
  if (!s.pixels.empty()) std::memcpy(v.data() + pixelsAt, s.pixels.data(), s.pixels.size());
  return v;
}

class BmpCodec : public ::testing::Test {
 protected:
  GdiplusSession session;
};

TEST_F(BmpCodec, TwentyFourBitRowsAreBottomUpUnlessTheHeightIsNegative) {
  // 2 x 2, rows padded to 8 bytes; the first stored row is the bottom one.
  BmpSpec s;
  s.width = 2;
  s.height = 2;
  s.pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
  Bitmap b;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
  EXPECT_EQ(LockAll(b.get(), PixelFormat24bppRGB), (std::vector<uint8_t>{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));
  s.height = -2;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(LockAll(b.get(), PixelFormat24bppRGB), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST_F(BmpCodec, IndexedDepthsUnpackTheirBitsAgainstThePalette) {
  struct Case {
    uint16_t bits;
    int32_t format;
    std::vector<uint8_t> row;       // one stored row of 9 pixels, padded
    std::vector<uint8_t> expected;  // its indices
  };
  const Case cases[] = {
      {1, PixelFormat1bppIndexed, {0xA5, 0x80, 0, 0}, {1, 0, 1, 0, 0, 1, 0, 1, 1}},
      {4, PixelFormat4bppIndexed, {0x12, 0x34, 0x56, 0x78, 0x90, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {8, PixelFormat8bppIndexed, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0}, {9, 8, 7, 6, 5, 4, 3, 2, 1}},
  };
  for (const Case& c : cases) {
    BmpSpec s;
    s.width = 9;
    s.height = 1;
    s.bitCount = c.bits;
    for (uint32_t i = 0; i < (1u << c.bits) && i < 16; ++i) s.palette.push_back(i * 0x010203u);
    s.colorsUsed = static_cast<uint32_t>(s.palette.size());
    s.pixels = c.row;
    Bitmap b;
    ASSERT_EQ(b.Create(Build(s)), Ok) << c.bits;
    EXPECT_EQ(b.Format(), c.format);
    EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), c.expected) << c.bits;
    const auto palette = b.Palette();
    ASSERT_EQ(palette.size(), s.palette.size());
    EXPECT_EQ(palette[1], 0xFF010203u);  // opaque: the reserved byte is not alpha
    const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
    EXPECT_EQ(argb[2], static_cast<uint8_t>(c.expected[0] * 1));
  }
}

TEST_F(BmpCodec, SixteenBitMasksChooseTheFormatAndWidenByBitReplication) {
  struct Case {
    uint32_t headerSize, compression;
    uint32_t masks[4];
    int32_t format;
  };
  const Case cases[] = {
      {40, 0, {0, 0, 0, 0}, PixelFormat16bppRGB555},
      {40, 3, {0xF800, 0x07E0, 0x001F, 0}, PixelFormat16bppRGB565},
      {108, 3, {0x7C00, 0x03E0, 0x001F, 0x8000}, PixelFormat16bppARGB1555},
  };
  for (const Case& c : cases) {
    BmpSpec s;
    s.headerSize = c.headerSize;
    s.compression = c.compression;
    std::memcpy(s.masks, c.masks, sizeof s.masks);
    s.width = 2;
    s.height = 1;
    s.bitCount = 16;
    const uint16_t px[2] = {0x8421, 0x7FFF};
    s.pixels = {static_cast<uint8_t>(px[0]), static_cast<uint8_t>(px[0] >> 8), static_cast<uint8_t>(px[1]),
                static_cast<uint8_t>(px[1] >> 8)};
    Bitmap b;
    ASSERT_EQ(b.Create(Build(s)), Ok);
    ASSERT_EQ(b.Format(), c.format);
    const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
    ASSERT_EQ(argb.size(), 8u);
    const uint32_t masks[4] = {c.compression ? c.masks[0] : 0x7C00u, c.compression ? c.masks[1] : 0x03E0u,
                               c.compression ? c.masks[2] : 0x001Fu, c.masks[3]};
    for (int p = 0; p < 2; ++p) {
      for (int ch = 0; ch < 4; ++ch) {
        const uint32_t m = masks[ch == 0 ? 2 : ch == 2 ? 0 : ch];  // output order B, G, R, A
        uint32_t expected = 255;
        if (m) {
          int shift = 0, bits = 0;
          while (!((m >> shift) & 1)) ++shift;
          while ((m >> (shift + bits)) & 1) ++bits;
          const uint32_t v = (px[p] & m) >> shift;
          // Replication written out: the value's bits repeated from the top of the byte.
          expected = 0;
          for (int bit = 7, src = bits - 1; bit >= 0; --bit, src = src == 0 ? bits - 1 : src - 1)
            expected |= ((v >> src) & 1) << bit;
        }
        EXPECT_EQ(argb[4 * p + ch], expected) << c.format << " pixel " << p << " channel " << ch;
      }
    }
  }
}

TEST_F(BmpCodec, ThirtyTwoBitFilesAreRgbUnlessAnAlphaMaskIsGiven) {
  BmpSpec s;
  s.width = 1;
  s.height = 1;
  s.bitCount = 32;
  s.pixels = {10, 20, 30, 40};
  Bitmap b;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat32bppRGB);
  EXPECT_EQ(LockAll(b.get(), PixelFormat32bppARGB), (std::vector<uint8_t>{10, 20, 30, 255}));
  s.headerSize = 124;
  s.compression = 3;
  const uint32_t alphaMasks[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
  std::memcpy(s.masks, alphaMasks, sizeof s.masks);
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat32bppARGB);
  EXPECT_EQ(LockAll(b.get(), PixelFormat32bppARGB), (std::vector<uint8_t>{10, 20, 30, 40}));
  // Ten bits per colour: rounded to 8 bits, v * 255 / 1023.
  s.headerSize = 40;
  const uint32_t wide[4] = {0x3FF00000, 0x000FFC00, 0x000003FF, 0};
  std::memcpy(s.masks, wide, sizeof s.masks);
  const uint32_t v = (1023u << 20) | (512u << 10) | 1u;
  s.pixels = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
              static_cast<uint8_t>(v >> 24)};
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat32bppRGB);
  EXPECT_EQ(LockAll(b.get(), PixelFormat32bppARGB), (std::vector<uint8_t>{0, 128, 255, 255}));
}

TEST_F(BmpCodec, Rle8RunsAbsoluteRunsDeltasAndEndsOfLine) {
  // 6 x 3, bottom-up. Row 0 (bottom): run of 3 x 7, absolute 1 2 3 (padded), end of line.
  // Row 1: delta (2, 1) lands on row 2 column 2: run 2 x 9, then end of bitmap.
  BmpSpec s;
  s.width = 6;
  s.height = 3;
  s.bitCount = 8;
  s.compression = 1;
  s.palette.assign(16, 0);
  s.pixels = {3, 7, 0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 2, 1, 2, 9, 0, 1};
  Bitmap b;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat8bppIndexed);
  const std::vector<uint8_t> expected = {0, 0, 9, 9, 0, 0,   // top row (file row 2)
                                         0, 0, 0, 0, 0, 0,   // file row 1: skipped by the delta
                                         7, 7, 7, 1, 2, 3};  // bottom row
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), expected);
}

TEST_F(BmpCodec, RleRunsPastTheImageAreClippedAndMissingEndsAreFine) {
  BmpSpec s;
  s.width = 4;
  s.height = 2;
  s.bitCount = 8;
  s.compression = 1;
  s.palette.assign(4, 0);
  // Bottom row: a run of 200 beyond the row's end, an absolute run wholly past it, end of
  // line. Top row: a move right by one, a run of one, a move far beyond the image, and a
  // last byte without an end-of-bitmap code.
  s.pixels = {200, 5, 0, 3, 1, 1, 1, 0, 0, 0, 0, 2, 1, 0, 1, 2, 0, 2, 250, 250, 1};
  Bitmap b;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  const std::vector<uint8_t> expected = {0, 2, 0, 0, 5, 5, 5, 5};
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), expected);
}

TEST_F(BmpCodec, Rle4AlternatesNibbles) {
  BmpSpec s;
  s.width = 7;
  s.height = 1;
  s.bitCount = 4;
  s.compression = 2;
  s.palette.assign(16, 0);
  s.pixels = {5, 0x12, 0, 3, 0xAB, 0xC0, 0, 1};  // 1 2 1 2 1, then absolute A B C
  Bitmap b;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat4bppIndexed);
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), (std::vector<uint8_t>{1, 2, 1, 2, 1, 10, 11}));
}

TEST_F(BmpCodec, CoreHeadersUseThreeBytePaletteEntries) {
  BmpSpec s;
  s.headerSize = 12;
  s.width = 2;
  s.height = 1;
  s.bitCount = 1;
  s.palette = {0x000000, 0x336699};
  s.pixels = {0x40, 0, 0, 0};
  Bitmap b;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(b.Format(), PixelFormat1bppIndexed);
  EXPECT_EQ(b.Palette()[1], 0xFF336699u);
  EXPECT_EQ(LockAll(b.get(), PixelFormat32bppARGB), (std::vector<uint8_t>{0, 0, 0, 255, 0x99, 0x66, 0x33, 255}));
}

TEST_F(BmpCodec, IndicesBeyondThePaletteAreBlack) {
  BmpSpec s;
  s.width = 2;
  s.height = 1;
  s.bitCount = 8;
  s.palette = {0xFFFFFF, 0x808080};
  s.colorsUsed = 2;
  s.pixels = {1, 200, 0, 0};
  Bitmap b;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  EXPECT_EQ(LockAll(b.get(), PixelFormat32bppARGB), (std::vector<uint8_t>{128, 128, 128, 255, 0, 0, 0, 255}));
}

TEST_F(BmpCodec, BadHeadersAndHostileSizesAreRefused) {
  Bitmap b;
  BmpSpec s;
  s.width = 4;
  s.height = 4;
  s.bitCount = 24;
  s.pixels.assign(48, 1);
  auto good = Build(s);
  ASSERT_EQ(b.Create(good), Ok);
  auto bad = good;
  Put32(bad, 14, 41);  // no such header size
  EXPECT_EQ(b.Create(bad), UnknownImageFormat);
  bad = good;
  Put16(bad, 28, 2);  // 2 bits per pixel
  EXPECT_EQ(b.Create(bad), UnknownImageFormat);
  bad = good;
  Put32(bad, 30, 4);  // an embedded JPEG
  EXPECT_EQ(b.Create(bad), UnknownImageFormat);
  bad = good;
  Put32(bad, 30, 1);  // RLE8 with 24 bits
  EXPECT_EQ(b.Create(bad), UnknownImageFormat);
  bad = good;
  Put32(bad, 18, 0);
  EXPECT_EQ(b.Create(bad), UnknownImageFormat);
  bad = good;
  Put32(bad, 22, 0x80000000u);  // the most negative height
  EXPECT_NE(b.Create(bad), Ok);
  EXPECT_EQ(b.Create(std::vector<uint8_t>(good.begin(), good.begin() + 30)), UnknownImageFormat);

  // A palette that the file's end cuts off.
  BmpSpec p;
  p.width = 1;
  p.height = 1;
  p.bitCount = 8;
  p.colorsUsed = 256;
  p.palette.assign(4, 0);
  p.pixelOffset = 14 + 40 + 1024;
  auto cut = Build(p);
  cut.resize(14 + 40 + 16);
  EXPECT_EQ(b.Create(cut), UnknownImageFormat);

  // 60000 x 60000 declared by a few dozen bytes: refused before any allocation.
  s.width = 60000;
  s.height = 60000;
  s.pixels.assign(16, 0);
  EXPECT_EQ(b.Create(Build(s)), ValueOverflow);
  // A size the cap allows but whose rows are not in the file: fails when decoded.
  s.width = 500;
  s.height = 500;
  ASSERT_EQ(b.Create(Build(s)), Ok);
  GpStatus status;
  EXPECT_TRUE(LockAll(b.get(), PixelFormat24bppRGB, &status).empty());
  EXPECT_EQ(status, GenericError);
}

TEST(BmpDecoder, RejectsRleThatWouldRunPastTheBuffer) {
  // Every prefix of an RLE file decodes or fails cleanly (the sanitizer build checks reads).
  BmpSpec s;
  s.width = 16;
  s.height = 16;
  s.bitCount = 4;
  s.compression = 2;
  s.palette.assign(16, 0x123456);
  for (int i = 0; i < 40; ++i) {
    s.pixels.push_back(0);
    s.pixels.push_back(static_cast<uint8_t>(3 + i % 20));
    for (int k = 0; k < 12; ++k) s.pixels.push_back(static_cast<uint8_t>(i + k));
  }
  const auto file = Build(s);
  for (size_t n = 0; n <= file.size(); ++n) {
    CodecImage image;
    if (ReadBmpHeader(file.data(), n, &image) != Ok) continue;
    EXPECT_EQ(DecodeBmpPixels(file.data(), n, &image), Ok);
  }
}

}  // namespace
