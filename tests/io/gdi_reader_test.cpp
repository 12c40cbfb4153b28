#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sys/stat.h>

#include "gdi_files_util.h"
#include "ko/codec/testing/codec_writers.h"
#include "ko/io/gdi_image_reader.h"
#include "ko/io/image_file_reader.h"

using namespace ko;
using gdi_test::TempDir;

namespace {

std::vector<uint8_t> Png(const std::vector<uint8_t>& samples, uint32_t w, uint32_t h, int colorType, int channels,
                         const PngWriteOptions& extra = PngWriteOptions()) {
  PngWriteOptions o = extra;
  o.colorType = colorType;
  CodecBuffer out;
  EXPECT_TRUE(WritePng(samples.data(), w, h, size_t{w} * channels, o, &out));
  return std::vector<uint8_t>(out.data(), out.data() + out.size());
}

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 37 + seed * 11 + i / 5) & 0xFF);
  return v;
}

const CParamValue* Param(const CImg& image, const char16_t* name) {
  const CParamValue* v = nullptr;
  image.params.GetByName(&v, name, 0);
  return v;
}
const CParamValue* Param(const CParams& set, int32_t id) {
  const CParamValue* v = nullptr;
  set.GetById(&v, id, 0);
  return v;
}

// The colour-to-grey rule written out: R wR + G wG + B wB in double, rounded to float, then
// to the nearest byte (ties to even), saturated.
uint8_t Luma(uint8_t r, uint8_t g, uint8_t b) {
  double y = r * static_cast<double>(0.299f);
  y += g * static_cast<double>(0.587f);
  y += b * static_cast<double>(0.114f);
  const double rounded = std::nearbyint(static_cast<double>(static_cast<float>(y)));
  return static_cast<uint8_t>(rounded < 0 ? 0 : rounded > 255 ? 255 : rounded);
}

class GdiReader : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(GdiReader, ArgbFilesFillRgbaByteAndFloatImages) {
  const uint32_t w = 9, h = 5;
  const auto rgba = Bytes(w * h * 4, 1);
  const auto name = dir.Write("alpha.png", Png(rgba, w, h, 6, 4));
  CCompositeImg<RGBAType<unsigned char>> bytes;
  ASSERT_EQ(LoadImageFile(name.c_str(), &bytes, 1, -1), S_OK);
  ASSERT_EQ(bytes.width, 9);
  ASSERT_EQ(bytes.height, 5);
  EXPECT_EQ(bytes.type, kTypeRGBAByte);
  CImg floats;
  floats.type = kTypeRGBAFloat;
  floats.bands = 4;
  floats.elementSize = 4;
  ASSERT_EQ(LoadImageFile(name.c_str(), &floats, 1, -1), S_OK);
  EXPECT_EQ(floats.type, kTypeRGBAFloat);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* in = rgba.data() + (y * w + x) * 4;
      const RGBAType<unsigned char>& p = bytes.PixelRow(static_cast<int32_t>(y))[x];
      ASSERT_EQ(p.blue, in[2]);
      ASSERT_EQ(p.green, in[1]);
      ASSERT_EQ(p.red, in[0]);
      ASSERT_EQ(p.alpha, in[3]);
      const float* f = reinterpret_cast<const float*>(floats.RowPtr(static_cast<int32_t>(y))) + 4 * x;
      ASSERT_EQ(f[0], in[2]);
      ASSERT_EQ(f[3], in[3]);
    }
  }
  const CParamValue* alpha = Param(bytes, u"FileHadAlpha");
  ASSERT_TRUE(alpha);
  EXPECT_EQ(alpha->kind, kParamBool);
  EXPECT_EQ(*static_cast<const uint8_t*>(alpha->data), 1);
  const CParamValue* filename = Param(bytes, u"Filename");
  ASSERT_TRUE(filename);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(filename->data)), name);
}

TEST_F(GdiReader, GreyFilesKeepTheirValuesInOneBandImages) {
  const auto grey = Bytes(6 * 4, 2);
  const auto name = dir.Write("grey.png", Png(grey, 6, 4, 0, 1));
  CTypedImg<unsigned char> image;
  ASSERT_EQ(LoadImageFile(name.c_str(), &image, 1, -1), S_OK);
  ASSERT_EQ(image.bands, 1);
  EXPECT_EQ(image.type, kElemByte);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) ASSERT_EQ(image.At(x, y), grey[y * 6 + x]);
  // An empty image of no type takes the file's one byte band.
  CImg plain;
  ASSERT_EQ(LoadImageFile(name.c_str(), &plain, 0, -1), S_OK);
  EXPECT_EQ(plain.type, kElemByte);
  EXPECT_EQ(plain.bands, 1);
  EXPECT_EQ(plain.RowPtr(3)[5], grey[23]);
  EXPECT_EQ(Param(plain, u"Filename"), nullptr);  // flags 0: no metadata
  EXPECT_EQ(Param(plain, u"SourceBitsPerPixel"), nullptr);
}

TEST_F(GdiReader, GreyPalettesInAnotherOrderAreLookedUpAndColourPalettesConvert) {
  std::vector<uint8_t> reversed(256 * 3), colours(256 * 3);
  for (int i = 0; i < 256; ++i) {
    reversed[3 * i] = reversed[3 * i + 1] = reversed[3 * i + 2] = static_cast<uint8_t>(255 - i);
    colours[3 * i] = static_cast<uint8_t>(i);
    colours[3 * i + 1] = static_cast<uint8_t>(i * 3);
    colours[3 * i + 2] = static_cast<uint8_t>(255 - i / 2);
  }
  const auto indices = Bytes(8 * 3, 3);
  PngWriteOptions o;
  o.palette = reversed.data();
  o.paletteCount = 256;
  const auto greyName = dir.Write("reversed.png", Png(indices, 8, 3, 3, 1, o));
  o.palette = colours.data();
  const auto colourName = dir.Write("colours.png", Png(indices, 8, 3, 3, 1, o));
  CTypedImg<unsigned char> grey, colour;
  ASSERT_EQ(LoadImageFile(greyName.c_str(), &grey, 1, -1), S_OK);
  ASSERT_EQ(LoadImageFile(colourName.c_str(), &colour, 1, -1), S_OK);
  EXPECT_EQ(grey.bands, 1);
  // A colour palette takes the colour path, which gives a one-band image of no settled
  // size its four default bands.
  ASSERT_EQ(colour.bands, 4);
  // The same into a one-band float image that already has the file's size stays one band:
  // the colours are converted to grey.
  CTypedImg<float> sized;
  ASSERT_EQ(sized.Create(8, 3, 1, 0), S_OK);
  ASSERT_EQ(LoadImageFile(colourName.c_str(), &sized, 1, -1), S_OK);
  ASSERT_EQ(sized.bands, 1);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 8; ++x) {
      const uint8_t i = indices[y * 8 + x];
      ASSERT_EQ(grey.At(x, y), 255 - i);
      ASSERT_EQ(colour.BandPtr(x, y, 0)[0], colours[3 * i + 2]);
      ASSERT_EQ(colour.BandPtr(x, y, 2)[0], colours[3 * i]);
      double g = colours[3 * i] * static_cast<double>(0.299f);
      g += colours[3 * i + 1] * static_cast<double>(0.587f);
      g += colours[3 * i + 2] * static_cast<double>(0.114f);
      ASSERT_EQ(sized.At(x, y), static_cast<float>(g)) << x << "," << y;
    }
  }
  // An indexed file read into a colour image takes the colour path.
  CCompositeImg<RGBAType<unsigned char>> rgba;
  ASSERT_EQ(LoadImageFile(greyName.c_str(), &rgba, 1, -1), S_OK);
  EXPECT_EQ(rgba.PixelRow(0)[0].red, 255 - indices[0]);
  EXPECT_EQ(rgba.PixelRow(0)[0].alpha, 255);
}

TEST_F(GdiReader, JpegMetadataSaysNoAlphaAndThirtyTwoBits) {
  const auto rgb = Bytes(16 * 8 * 3, 4);
  JpegWriteOptions o;
  CodecBuffer jpeg;
  ASSERT_TRUE(WriteJpeg(rgb.data(), 16, 8, 48, o, &jpeg));
  const auto name = dir.Write("photo.JPG", jpeg);  // the extension's case does not matter
  CCompositeImg<RGBAType<unsigned char>> image;
  ASSERT_EQ(LoadImageFile(name.c_str(), &image, 1, -1), S_OK);
  const CParamValue* alpha = Param(image, u"FileHadAlpha");
  const CParamValue* bits = Param(image, u"SourceBitsPerPixel");
  ASSERT_TRUE(alpha && bits);
  EXPECT_EQ(*static_cast<const uint8_t*>(alpha->data), 0);
  EXPECT_EQ(bits->kind, kParamUInt32);
  EXPECT_EQ(*static_cast<const uint32_t*>(bits->data), 32u);
  EXPECT_EQ(image.PixelRow(0)[0].alpha, 255);
  // Into a three-band image the rows are locked straight in.
  CCompositeImg<RGBType<unsigned char>> three;
  ASSERT_EQ(LoadImageFile(name.c_str(), &three, 1, -1), S_OK);
  EXPECT_EQ(three.bands, 3);
  for (int x = 0; x < 16; ++x) {
    EXPECT_EQ(three.PixelRow(5)[x].blue, image.PixelRow(5)[x].blue);
    EXPECT_EQ(three.PixelRow(5)[x].red, image.PixelRow(5)[x].red);
  }
}

std::vector<uint8_t> Bmp16(uint32_t redMask, uint32_t greenMask, uint32_t blueMask, uint32_t alphaMask) {
  std::vector<uint8_t> v(14 + 108 + 4, 0);
  auto put32 = [&](size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
  };
  v[0] = 'B';
  v[1] = 'M';
  put32(2, static_cast<uint32_t>(v.size()));
  put32(10, 14 + 108);
  put32(14, 108);
  put32(18, 2);
  put32(22, 1);
  v[26] = 1;
  v[28] = 16;
  put32(30, 3);
  put32(54, redMask);
  put32(58, greenMask);
  put32(62, blueMask);
  put32(66, alphaMask);
  v[122] = 0x1F;  // pixel 0: blue at full strength
  v[124] = 0x00;
  v[125] = 0x80;  // pixel 1: only the top bit
  return v;
}

TEST_F(GdiReader, SixteenBitBitmapsRecordOneBitPerPixelAndTheirAlpha) {
  const auto rgb565 = dir.Write("565.bmp", Bmp16(0xF800, 0x07E0, 0x001F, 0));
  const auto argb1555 = dir.Write("1555.bmp", Bmp16(0x7C00, 0x03E0, 0x001F, 0x8000));
  CGdiImageReader reader;
  ASSERT_EQ(reader.Open(rgb565.c_str()), S_OK);
  EXPECT_EQ(reader.sourceElementType, 1);
  EXPECT_EQ(reader.sourceBands, 3);
  EXPECT_EQ(reader.sourceFormatFlags, 0x10000);
  EXPECT_EQ(reader.width, 2);
  EXPECT_EQ(reader.height, 1);
  const CParamValue* bits = nullptr;
  reader.metadata.GetByName(&bits, u"SourceBitsPerPixel", 0);
  ASSERT_TRUE(bits);
  EXPECT_EQ(*static_cast<const uint32_t*>(bits->data), 1u);
  CCompositeImg<RGBAType<unsigned char>> image;
  ASSERT_EQ(reader.ReadInto(&image, 1), S_OK);
  EXPECT_EQ(image.PixelRow(0)[0].blue, 255);
  EXPECT_EQ(image.PixelRow(0)[1].red, 132);  // 10000b widened: 10000100b

  CImg other;
  ASSERT_EQ(LoadImageFile(argb1555.c_str(), &other, 1, -1), S_OK);
  const CParamValue* alpha = Param(other, u"FileHadAlpha");
  ASSERT_TRUE(alpha);
  EXPECT_EQ(*static_cast<const uint8_t*>(alpha->data), 1);
  EXPECT_EQ(other.bands, 4);
  EXPECT_EQ(other.BandPtr(1, 0, 3)[0], 255);
  EXPECT_EQ(other.BandPtr(0, 0, 3)[0], 0);
}

TEST_F(GdiReader, IndexedSourcesOfFewBitsReportTheirKind) {
  std::vector<uint8_t> samples = {0, 1, 2, 3};
  PngWriteOptions o;
  o.bitDepth = 2;
  const auto name = dir.Write("two.png", Png(samples, 4, 1, 0, 1, o));
  CGdiImageReader reader;
  ASSERT_EQ(reader.Open(name.c_str()), S_OK);
  EXPECT_EQ(reader.sourceElementType, 0);
  EXPECT_EQ(reader.sourceBands, 1);
  EXPECT_EQ(reader.sourceFormatFlags, 1);
  CTypedImg<unsigned char> grey;
  ASSERT_EQ(grey.Create(4, 1, 1, 0), S_OK);
  ASSERT_EQ(reader.ReadInto(&grey, 0), S_OK);  // through the colour path, converted to grey
  EXPECT_EQ(grey.At(0, 0), 0);
  EXPECT_EQ(grey.At(1, 0), Luma(85, 85, 85));
  EXPECT_EQ(grey.At(3, 0), 255);
}

TEST_F(GdiReader, PropertyItemsAreStoredUnderTheirTags) {
  const PngText text = {"Title", "A title", -1};
  PngWriteOptions o;
  o.texts = &text;
  o.textCount = 1;
  o.gamma = 45455;
  o.physical = true;
  o.pixelsPerUnitX = o.pixelsPerUnitY = 3780;
  const auto name = dir.Write("meta.png", Png(Bytes(12, 5), 2, 2, 2, 3, o));
  CImg image;
  ASSERT_EQ(LoadImageFile(name.c_str(), &image, 1, -1), S_OK);
  const CParamValue* title = Param(image.params, 0x0320);
  ASSERT_TRUE(title);
  EXPECT_EQ(title->kind, kParamString);
  EXPECT_STREQ(static_cast<const char*>(title->data), "A title");
  const CParamValue* gamma = Param(image.params, 0x0301);
  ASSERT_TRUE(gamma);
  EXPECT_EQ(gamma->kind, kParamRational);
  EXPECT_EQ(gamma->byteLength, 8u);
  const CParamValue* unit = Param(image.params, 0x5110);
  ASSERT_TRUE(unit);
  EXPECT_EQ(unit->kind, kParamUInt8);
  const CParamValue* ppu = Param(image.params, 0x5111);
  ASSERT_TRUE(ppu);
  EXPECT_EQ(ppu->kind, kParamUInt32);
  EXPECT_EQ(*static_cast<const uint32_t*>(ppu->data), 3780u);
}

TEST_F(GdiReader, ExifOfAJpegIsStoredFlat) {
  // IFD0: Orientation 3 and an Exif pointer; Exif IFD: ISO speed 400.
  std::vector<uint8_t> app1 = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                               2, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 3, 0, 0, 0,
                               0x69, 0x87, 4, 0, 1, 0, 0, 0, 38, 0, 0, 0, 0, 0, 0, 0,
                               1, 0, 0x27, 0x88, 3, 0, 1, 0, 0, 0, 0x90, 0x01, 0, 0, 0, 0, 0, 0};
  JpegWriteOptions o;
  o.app1 = app1.data();
  o.app1Length = static_cast<uint32_t>(app1.size());
  const auto rgb = Bytes(8 * 8 * 3, 6);
  CodecBuffer jpeg;
  ASSERT_TRUE(WriteJpeg(rgb.data(), 8, 8, 24, o, &jpeg));
  const auto name = dir.Write("exif.jpeg", jpeg);
  CImg image;
  ASSERT_EQ(LoadImageFile(name.c_str(), &image, 1, -1), S_OK);
  const CParamValue* orientation = Param(image.params, 0x0112);
  const CParamValue* iso = Param(image.params, 0x8827);
  ASSERT_TRUE(orientation && iso);
  EXPECT_EQ(orientation->kind, kParamUInt16);
  EXPECT_EQ(*static_cast<const uint16_t*>(orientation->data), 3);
  EXPECT_EQ(*static_cast<const uint16_t*>(iso->data), 400);
}

TEST_F(GdiReader, FailuresMapToTheLibrarysCodes) {
  CImg image;
  EXPECT_EQ(LoadImageFile(dir.Path("missing.png").c_str(), &image, 1, -1), E_KO_NOTFOUND);
  EXPECT_EQ(LoadImageFile(dir.Write("notes.png", std::vector<uint8_t>{'t', 'e', 'x', 't'}).c_str(), &image, 1, -1),
            E_KO_BADFORMAT);
  ASSERT_EQ(mkdir((dir.dir() + "/folder.gif").c_str(), 0700), 0);
  EXPECT_EQ(LoadImageFile(dir.Path("folder.gif").c_str(), &image, 1, -1), E_KO_READ);
  // A file whose pixels cannot be decoded.
  auto png = Png(Bytes(64 * 64 * 3, 7), 64, 64, 2, 3);
  png.resize(png.size() / 2);
  EXPECT_EQ(LoadImageFile(dir.Write("cut.png", png).c_str(), &image, 1, -1), E_FAIL);
  EXPECT_EQ(ResultFromGdiplusStatus(ValueOverflow), E_FAIL);
  EXPECT_EQ(ResultFromGdiplusStatus(Ok), S_OK);
}

}  // namespace
