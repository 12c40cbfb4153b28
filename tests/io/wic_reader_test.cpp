#include <gtest/gtest.h>

#include <cstring>

#include "gdi_files_util.h"
#include "ko/codec/jxr_codec.h"
#include "ko/codec/wic_decoder.h"
#include "ko/io/image_file_reader.h"
#include "ko/io/wic_image_reader.h"

using namespace ko;
using gdi_test::TempDir;

namespace {

std::vector<uint8_t> Pixels(uint32_t w, uint32_t h, uint32_t bytesPerPixel) {
  std::vector<uint8_t> v(size_t{w} * h * bytesPerPixel);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>((i * 41 + i / 9) & 0xFF);
  return v;
}

std::u16string WriteJxr(const TempDir& dir, const char* name, const std::vector<uint8_t>& pixels, uint32_t w,
                        uint32_t h, uint32_t bpp, const GUID& format) {
  CodecBuffer file;
  EXPECT_EQ(EncodeJxr(pixels.data(), w, h, size_t{w} * bpp, format, 1, &file), JxrStatus::Ok);
  return dir.Write(name, file);
}

class WicReader : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(wic::LiveObjectCount(), 0); }
  TempDir dir;
};

TEST_F(WicReader, RgbOrderedFilesComeBackInTheLibrarysBlueGreenRedOrder) {
  const uint32_t w = 21, h = 6;
  const auto rgb = Pixels(w, h, 3);
  const auto rgbName = WriteJxr(dir, "rgb.wdp", rgb, w, h, 3, wic::GUID_WICPixelFormat24bppRGB);
  const auto bgrName = WriteJxr(dir, "bgr.wdp", rgb, w, h, 3, wic::GUID_WICPixelFormat24bppBGR);
  CCompositeImg<RGBAType<unsigned char>> fromRgb, fromBgr;
  ASSERT_EQ(LoadImageFile(rgbName.c_str(), &fromRgb, 1, -1), S_OK);
  ASSERT_EQ(LoadImageFile(bgrName.c_str(), &fromBgr, 1, -1), S_OK);
  ASSERT_EQ(fromRgb.width, 21);
  EXPECT_EQ(fromRgb.params.entryCount, 0);  // this path stores no properties, not even "Filename"
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t* in = rgb.data() + (y * w + x) * 3;
      const auto& a = fromRgb.PixelRow(static_cast<int32_t>(y))[x];
      const auto& b = fromBgr.PixelRow(static_cast<int32_t>(y))[x];
      ASSERT_EQ(a.red, in[0]);  // stored R, G, B
      ASSERT_EQ(a.green, in[1]);
      ASSERT_EQ(a.blue, in[2]);
      ASSERT_EQ(a.alpha, 255);
      ASSERT_EQ(b.blue, in[0]);  // stored B, G, R
      ASSERT_EQ(b.red, in[2]);
    }
  }
}

TEST_F(WicReader, DirectCopiesIntoImagesOfTheFilesOwnLayout) {
  const uint32_t w = 17, h = 5;
  const auto rgb = Pixels(w, h, 3);
  const auto name = WriteJxr(dir, "direct.wdp", rgb, w, h, 3, wic::GUID_WICPixelFormat24bppRGB);
  CCompositeImg<RGBType<unsigned char>> three;  // the file's own three bands: rows copied straight in
  ASSERT_EQ(LoadImageFile(name.c_str(), &three, 1, -1), S_OK);
  ASSERT_EQ(three.bands, 3);
  for (uint32_t x = 0; x < w; ++x) {
    const uint8_t* in = rgb.data() + (4 * w + x) * 3;
    ASSERT_EQ(three.PixelRow(4)[x].red, in[0]);
    ASSERT_EQ(three.PixelRow(4)[x].blue, in[2]);
  }
  const auto bgra = Pixels(w, h, 4);
  const auto alphaName = WriteJxr(dir, "alpha.wdp", bgra, w, h, 4, wic::GUID_WICPixelFormat32bppBGRA);
  CCompositeImg<RGBAType<unsigned char>> four;
  ASSERT_EQ(LoadImageFile(alphaName.c_str(), &four, 1, -1), S_OK);
  EXPECT_EQ(0, std::memcmp(four.RowPtr(2), bgra.data() + 2 * w * 4, w * 4));
  const auto grey = Pixels(w, h, 1);
  const auto greyName = WriteJxr(dir, "grey.wdp", grey, w, h, 1, wic::GUID_WICPixelFormat8bppGray);
  CImg plain;  // no type: the row's defaults, one byte band
  ASSERT_EQ(LoadImageFile(greyName.c_str(), &plain, 1, -1), S_OK);
  EXPECT_EQ(plain.type, kElemByte);
  EXPECT_EQ(plain.bands, 1);
  EXPECT_EQ(0, std::memcmp(plain.RowPtr(3), grey.data() + 3 * w, w));
}

TEST_F(WicReader, GreyDestinationsOfRgbFilesUseTheCorrectColours) {
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 0, 255};  // pure red, pure blue
  const auto name = WriteJxr(dir, "two.wdp", rgb, 2, 1, 3, wic::GUID_WICPixelFormat24bppRGB);
  CTypedImg<float> grey;
  ASSERT_EQ(grey.Create(2, 1, 1, 0), S_OK);
  ASSERT_EQ(LoadImageFile(name.c_str(), &grey, 1, -1), S_OK);
  EXPECT_FLOAT_EQ(grey.At(0, 0), static_cast<float>(255 * static_cast<double>(0.299f)));
  EXPECT_FLOAT_EQ(grey.At(1, 0), static_cast<float>(255 * static_cast<double>(0.114f)));
}

TEST_F(WicReader, FloatColourFilesAreExchangedToo) {
  const uint32_t w = 4, h = 2;
  std::vector<float> rgba(w * h * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<float>(i % 4) * 0.25f;
  std::vector<uint8_t> bytes(rgba.size() * 4);
  std::memcpy(bytes.data(), rgba.data(), bytes.size());
  const auto name = WriteJxr(dir, "float.wdp", bytes, w, h, 16, wic::GUID_WICPixelFormat128bppRGBAFloat);
  CImg image;
  ASSERT_EQ(LoadImageFile(name.c_str(), &image, 1, -1), S_OK);
  EXPECT_EQ(image.type, kTypeRGBAFloat);
  const float* p = reinterpret_cast<const float*>(image.RowPtr(1));
  EXPECT_NEAR(p[0], 0.5f, 1e-3);  // blue first: the stored third sample
  EXPECT_NEAR(p[2], 0.0f, 1e-3);
  EXPECT_NEAR(p[3], 0.75f, 1e-3);
}

TEST_F(WicReader, FormatsOutsideTheTableAreNotImplementedAndOpenFailuresPassThrough) {
  std::vector<uint8_t> grey16(8 * 2 * 2, 0x40);
  const auto name = WriteJxr(dir, "grey16.wdp", grey16, 8, 2, 2, wic::GUID_WICPixelFormat16bppGray);
  CWicImageReader reader;
  ASSERT_EQ(reader.Open(name.c_str()), S_OK);
  EXPECT_EQ(reader.width, 8);
  EXPECT_EQ(reader.height, 2);
  EXPECT_EQ(reader.frameCount, 1u);
  CImg image;
  EXPECT_EQ(reader.ReadInto(&image), E_NOTIMPL);
  EXPECT_EQ(reader.Open(dir.Path("none.wdp").c_str()), wic::WIC_E_FILE_NOT_FOUND);
  EXPECT_EQ(reader.frame, nullptr);
  EXPECT_EQ(reader.ReadInto(&image), E_FAIL);
  EXPECT_EQ(LoadImageFile(dir.Write("fake.wdp", std::vector<uint8_t>{'I', 'I', '*', 0}).c_str(), &image, 1, -1),
            wic::WINCODEC_ERR_COMPONENTNOTFOUND);
}

}  // namespace
