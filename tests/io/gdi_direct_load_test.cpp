// Loads that the reader locks straight into the caller's image must give what the RGB or
// index route gives with the conversion written out, and the bitmap kept from Open must
// serve one ReadInto without changing what a second one reads.
#include <gtest/gtest.h>

#include <cstring>

#include "gdi_files_util.h"
#include "ko/codec/testing/codec_writers.h"
#include "ko/io/gdi_image_reader.h"
#include "ko/io/image_file_reader.h"

using namespace ko;
using gdi_test::TempDir;

namespace {

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    v[i] = static_cast<uint8_t>((i % 97) * 2 + (seed >> 28));
  }
  return v;
}

// Rows without padding.
std::vector<uint8_t> Packed(const CImg& img) {
  std::vector<uint8_t> out;
  const size_t row = static_cast<size_t>(img.width) * img.pixelSize;
  for (int32_t y = 0; y < img.height; ++y) out.insert(out.end(), img.RowPtr(y), img.RowPtr(y) + row);
  return out;
}

void ExpectRgbaIsRgbPlusOpaque(const std::u16string& name, const char* what) {
  SCOPED_TRACE(what);
  CCompositeImg<RGBType<unsigned char>> rgb;
  CCompositeImg<RGBAType<unsigned char>> rgba;
  ASSERT_EQ(LoadImageFile(name.c_str(), &rgb, 0, -1), S_OK);
  ASSERT_EQ(LoadImageFile(name.c_str(), &rgba, 0, -1), S_OK);
  ASSERT_EQ(rgb.width, rgba.width);
  ASSERT_EQ(rgb.height, rgba.height);
  for (int32_t y = 0; y < rgb.height; ++y)
    for (int32_t x = 0; x < rgb.width; ++x) {
      const uint8_t* s = rgb.BandPtr(x, y, 0);
      const uint8_t* d = rgba.BandPtr(x, y, 0);
      ASSERT_TRUE(d[0] == s[0] && d[1] == s[1] && d[2] == s[2] && d[3] == 255) << x << "," << y;
    }
}

TEST(GdiDirectLoad, RgbaImagesOfOpaqueFilesAreTheirRgbWithFullAlpha) {
  TempDir dir;
  const uint32_t w = 23, h = 17;
  const auto rgb = Noise(size_t{w} * h * 3, 3);
  CodecBuffer file;
  ASSERT_TRUE(WriteJpeg(rgb.data(), w, h, w * 3, JpegWriteOptions(), &file));
  ExpectRgbaIsRgbPlusOpaque(dir.Write("c.jpg", file), "jpeg");
  PngWriteOptions png;
  ASSERT_TRUE(WritePng(rgb.data(), w, h, w * 3, png, &file));
  ExpectRgbaIsRgbPlusOpaque(dir.Write("c.png", file), "png");
  png.interlaced = true;
  ASSERT_TRUE(WritePng(rgb.data(), w, h, w * 3, png, &file));
  ExpectRgbaIsRgbPlusOpaque(dir.Write("i.png", file), "interlaced png");
}

TEST(GdiDirectLoad, GreyFilesGiveTheirLevelsInGreyAndRgbaImages) {
  TempDir dir;
  const uint32_t w = 19, h = 11;
  const auto grey = Noise(size_t{w} * h, 9);
  CodecBuffer jpeg, png;
  JpegWriteOptions j;
  j.components = 1;
  ASSERT_TRUE(WriteJpeg(grey.data(), w, h, w, j, &jpeg));
  PngWriteOptions p;
  p.colorType = 0;
  ASSERT_TRUE(WritePng(grey.data(), w, h, w, p, &png));
  for (const auto& name : {dir.Write("g.jpg", jpeg), dir.Write("g.png", png)}) {
    CImg levels;
    CCompositeImg<RGBAType<unsigned char>> rgba;
    ASSERT_EQ(levels.Create(static_cast<int32_t>(w), static_cast<int32_t>(h), 1, 1, kElemByte, 0), S_OK);
    ASSERT_EQ(LoadImageFile(name.c_str(), &levels, 0, -1), S_OK);
    ASSERT_EQ(LoadImageFile(name.c_str(), &rgba, 0, -1), S_OK);
    if (name == dir.Path("g.png")) {
      EXPECT_TRUE(Packed(levels) == grey);  // lossless
    }
    for (int32_t y = 0; y < levels.height; ++y)
      for (int32_t x = 0; x < levels.width; ++x) {
        const uint8_t g = *levels.BandPtr(x, y, 0);
        const uint8_t* d = rgba.BandPtr(x, y, 0);
        ASSERT_TRUE(d[0] == g && d[1] == g && d[2] == g && d[3] == 255) << x << "," << y;
      }
  }
}

TEST(GdiDirectLoad, ReadIntoAfterOpenReadsTheSamePixelsEachTime) {
  TempDir dir;
  const uint32_t w = 8, h = 6;
  const auto rgb = Noise(size_t{w} * h * 3, 1);
  CodecBuffer file;
  ASSERT_TRUE(WritePng(rgb.data(), w, h, w * 3, PngWriteOptions(), &file));
  const auto name = dir.Write("r.png", file);
  CGdiImageReader reader;
  ASSERT_EQ(reader.Open(name.c_str()), S_OK);
  CCompositeImg<RGBAType<unsigned char>> first, second;
  ASSERT_EQ(reader.ReadInto(&first, 1), S_OK);
  ASSERT_EQ(reader.ReadInto(&second, 1), S_OK);
  EXPECT_TRUE(Packed(first) == Packed(second));
  ASSERT_EQ(first.width, static_cast<int32_t>(w));
  EXPECT_EQ(first.BandPtr(3, 2, 2)[0], rgb[(2 * w + 3) * 3]);  // red of the file's RGB
}

// A file cut short fails to load and leaves the image's pixels zero, whichever route.
TEST(GdiDirectLoad, TruncatedFilesFailWithZeroPixels) {
  TempDir dir;
  const uint32_t w = 40, h = 30;
  const auto rgb = Noise(size_t{w} * h * 3, 4);
  CodecBuffer jpeg, png;
  ASSERT_TRUE(WriteJpeg(rgb.data(), w, h, w * 3, JpegWriteOptions(), &jpeg));
  ASSERT_TRUE(WritePng(rgb.data(), w, h, w * 3, PngWriteOptions(), &png));
  for (CodecBuffer* b : {&jpeg, &png}) {
    std::vector<uint8_t> cut(b->data(), b->data() + b->size() / 2);
    const auto name = dir.Write(b == &jpeg ? "t.jpg" : "t.png", cut);
    CCompositeImg<RGBAType<unsigned char>> rgba;
    CCompositeImg<RGBType<unsigned char>> rgbImage;
    EXPECT_LT(LoadImageFile(name.c_str(), &rgba, 0, -1), 0);
    EXPECT_LT(LoadImageFile(name.c_str(), &rgbImage, 0, -1), 0);
    for (const CImg* img : {static_cast<const CImg*>(&rgba), static_cast<const CImg*>(&rgbImage)}) {
      if (!img->HasMemory()) continue;
      for (uint8_t v : Packed(*img)) {
        ASSERT_EQ(v, 0);
      }
    }
  }
}

}  // namespace
