#include "ko/convert/convert_image.h"

#include <gtest/gtest.h>

#include <vector>

#include "convert_test_util.h"

namespace {

const int32_t kElementTypes[] = {ko::kElemUnknown, ko::kElemByte, ko::kElemFloat, ko::kElemInt, ko::kElemShort};

bool Supported(int32_t s, int32_t d) {
  const bool plain = (s == 1 || s == 2 || s == 4) && (d == 1 || d == 2 || d == 4);
  return plain || (s == ko::kElemInt && d == ko::kElemFloat);
}

int32_t SizeOf(int32_t element) { return element == 0 ? 1 : ko::ElementSizeOfType(element); }

// Created images of each element type, with bytes preset so that writes can be seen.
void Make(ko::CImg& img, int32_t w, int32_t h, int32_t bands, int32_t type, uint8_t fill = 0) {
  ASSERT_EQ(img.Create(w, h, bands, SizeOf(ko::ElementTypeOf(type)), type, 0), ko::S_OK);
  for (int32_t y = 0; y < h; ++y) std::memset(img.RowPtr(y), fill, static_cast<size_t>(img.stride));
}

bool Untouched(const ko::CImg& img, uint8_t fill) {
  for (int32_t y = 0; y < img.height; ++y)
    for (int32_t b = 0; b < img.stride; ++b)
      if (img.RowPtr(y)[b] != fill) return false;
  return true;
}

TEST(ConvertImage, ElementTypePairsDecideFirst) {
  for (int32_t s : kElementTypes) {
    for (int32_t d : kElementTypes) {
      ko::CImg src, dst;
      Make(src, 3, 2, 1, s, 1);
      Make(dst, 3, 2, 1, d, 0xEE);
      const ko::HRESULT hr = ko::ConvertImage(src, dst);
      if (Supported(s, d)) {
        EXPECT_EQ(hr, ko::S_OK) << s << " -> " << d;
      } else {
        EXPECT_EQ(hr, ko::E_INVALIDARG) << s << " -> " << d;
        EXPECT_TRUE(Untouched(dst, 0xEE));
      }
      // An unsupported pair is refused whatever the images hold; a supported one without
      // memory too.
      ko::CImg emptySrc, emptyDst;
      emptySrc.type = s;
      emptyDst.type = d;
      EXPECT_EQ(ko::ConvertImage(emptySrc, emptyDst), ko::E_INVALIDARG);
    }
  }
}

TEST(ConvertImage, BandCountsFailWithNotImplemented) {
  ko::CImg two, gray, twoFloat, five, three;
  Make(two, 4, 3, 2, ko::kElemByte, 7);
  Make(gray, 4, 3, 1, ko::kElemFloat, 0xEE);
  Make(twoFloat, 4, 3, 2, ko::kElemFloat, 0xEE);
  Make(five, 4, 3, 5, ko::kElemShort, 0xEE);
  Make(three, 4, 3, 3, ko::kElemShort, 0xEE);
  EXPECT_EQ(ko::ConvertImage(two, gray), ko::E_NOTIMPL);
  EXPECT_TRUE(Untouched(gray, 0xEE));
  EXPECT_EQ(ko::ConvertImage(five, three), ko::E_NOTIMPL);
  EXPECT_EQ(ko::ConvertImage(three, five), ko::E_NOTIMPL);
  // Equal band counts of any number convert element for element.
  ASSERT_EQ(ko::ConvertImage(two, twoFloat), ko::S_OK);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(reinterpret_cast<float*>(twoFloat.RowPtr(y))[i], 7.0f);
  ko::CImg fiveByte;
  Make(fiveByte, 4, 3, 5, ko::kElemByte, 0);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t i = 0; i < 20; ++i) reinterpret_cast<uint16_t*>(five.RowPtr(y))[i] = static_cast<uint16_t>(383 + i);
  ASSERT_EQ(ko::ConvertImage(five, fiveByte), ko::S_OK);
  EXPECT_EQ(fiveByte.RowPtr(2)[0], 1);  // 383: (v + 128) / 256
  EXPECT_EQ(fiveByte.RowPtr(2)[1], 2);
}

TEST(ConvertImage, MemoryAndSizesAreChecked) {
  ko::CImg src, dst, narrow, shorter, none;
  Make(src, 100, 2, 3, ko::kElemByte, 5);
  Make(dst, 100, 2, 3, ko::kElemByte, 0xEE);
  Make(narrow, 99, 2, 1, ko::kElemFloat, 0xEE);
  Make(shorter, 100, 1, 3, ko::kElemByte, 0xEE);
  none.type = ko::kElemFloat;
  EXPECT_EQ(ko::ConvertImage(src, narrow), ko::E_INVALIDARG);
  EXPECT_TRUE(Untouched(narrow, 0xEE));
  EXPECT_EQ(ko::ConvertImage(src, shorter), ko::E_INVALIDARG);
  EXPECT_EQ(ko::ConvertImage(src, none), ko::E_INVALIDARG);
  EXPECT_EQ(ko::ConvertImage(none, src), ko::E_INVALIDARG);
  ko::CImg narrowSrc;
  Make(narrowSrc, 99, 2, 3, ko::kElemByte, 5);
  EXPECT_EQ(ko::ConvertImage(narrowSrc, dst), ko::E_INVALIDARG);
  EXPECT_TRUE(Untouched(dst, 0xEE));
}

TEST(ConvertImage, ColourToIntensityPath) {
  // The program's own path: 4-band RGBA bytes into a 1-band float image.
  ko::CCompositeImg<ko::RGBAType<uint8_t>> colour;
  ko::CTypedImg<float> intensity;
  ASSERT_EQ(colour.Create(3, 2, 4, 1, colour.type, 0), ko::S_OK);
  ASSERT_EQ(intensity.Create(3, 2, 1, 4, intensity.type, 0), ko::S_OK);
  const ko::RGBAType<uint8_t> px[6] = {{0, 0, 255, 1}, {0, 255, 0, 2}, {255, 0, 0, 3},
                                       {10, 20, 30, 4}, {128, 128, 128, 5}, {255, 255, 255, 0}};
  const float want[6] = {76.2449951171875f, 149.68499755859375f, 29.06999969482422f,
                         21.850000381469727f, 128.0f, 255.0f};
  for (int i = 0; i < 6; ++i) colour.PixelRow(i / 3)[i % 3] = px[i];
  ASSERT_EQ((ko::ConvertImagePair<uint8_t, float>(colour, intensity)), ko::S_OK);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(intensity.At(i % 3, i / 3), want[i]);
  // Neither image is retyped or resized.
  EXPECT_EQ(intensity.type, ko::kElemFloat);
  EXPECT_EQ(intensity.bands, 1);
  EXPECT_EQ(colour.type, ko::kTypeRGBAByte);
}

TEST(ConvertImage, FloatImagesBecomeIntensitiesToo) {
  // Readers of float formats hand back float images: they must convert by their own type.
  ko::CImg loaded;
  ASSERT_EQ(loaded.Create(2, 1, 4, 4, ko::kTypeRGBAFloat, 0), ko::S_OK);
  const float px[8] = {0.0f, 0.0f, 1000.0f, 1.0f, 0.5f, 0.5f, 0.5f, 0.0f};
  std::memcpy(loaded.RowPtr(0), px, sizeof px);
  ko::CTypedImg<float> intensity;
  ASSERT_EQ(intensity.Create(2, 1, 1, 4, intensity.type, 0), ko::S_OK);
  ASSERT_EQ(ko::ConvertImage(loaded, intensity), ko::S_OK);
  EXPECT_EQ(intensity.At(0, 0), static_cast<float>(1000.0 * 0.299f));
  EXPECT_EQ(intensity.At(1, 0), static_cast<float>(0.5 * 0.299f + 0.5 * 0.587f + 0.5 * 0.114f));

  ko::CImg gray;
  ASSERT_EQ(gray.Create(2, 1, 1, 4, ko::kElemFloat, 0), ko::S_OK);
  reinterpret_cast<float*>(gray.RowPtr(0))[0] = -3.5f;
  reinterpret_cast<float*>(gray.RowPtr(0))[1] = 1e30f;
  ASSERT_EQ(ko::ConvertImage(gray, intensity), ko::S_OK);
  EXPECT_EQ(intensity.At(0, 0), -3.5f);
  EXPECT_EQ(intensity.At(1, 0), 1e30f);

  // The byte instance called directly on them refuses rather than reading floats as bytes.
  EXPECT_EQ((ko::ConvertImagePair<uint8_t, float>(loaded, intensity)), ko::E_INVALIDARG);
  // A type word that disagrees with the element size is refused as well.
  ko::CImg odd;
  ASSERT_EQ(odd.Create(2, 1, 1, 1, ko::kElemFloat, 0), ko::S_OK);
  EXPECT_EQ(ko::ConvertImage(odd, intensity), ko::E_INVALIDARG);
}

TEST(ConvertImage, IntAndLayoutDispatch) {
  ko::CImg ints, floats;
  Make(ints, 2, 1, 1, ko::kElemInt);
  Make(floats, 2, 1, 1, ko::kElemFloat);
  reinterpret_cast<int32_t*>(ints.RowPtr(0))[0] = 16777217;
  reinterpret_cast<int32_t*>(ints.RowPtr(0))[1] = -5;
  ASSERT_EQ(ko::ConvertImage(ints, floats), ko::S_OK);
  EXPECT_EQ(reinterpret_cast<float*>(floats.RowPtr(0))[0], 16777216.0f);
  EXPECT_EQ(reinterpret_cast<float*>(floats.RowPtr(0))[1], -5.0f);

  // 3 -> 4 bands keeps values (alpha 255) where equal layouts scale by 256.
  ko::CImg rgb, rgba16, rgb16;
  Make(rgb, 1, 1, 3, ko::kTypeRGBByte);
  Make(rgba16, 1, 1, 4, ko::kTypeRGBA16);
  Make(rgb16, 1, 1, 3, ko::kTypeRGB16);
  rgb.RowPtr(0)[0] = 1;
  rgb.RowPtr(0)[1] = 2;
  rgb.RowPtr(0)[2] = 255;
  ASSERT_EQ(ko::ConvertImage(rgb, rgba16), ko::S_OK);
  const auto* w = reinterpret_cast<const uint16_t*>(rgba16.RowPtr(0));
  EXPECT_EQ(std::vector<uint16_t>(w, w + 4), (std::vector<uint16_t>{1, 2, 255, 255}));
  ASSERT_EQ(ko::ConvertImage(rgb, rgb16), ko::S_OK);
  w = reinterpret_cast<const uint16_t*>(rgb16.RowPtr(0));
  EXPECT_EQ(std::vector<uint16_t>(w, w + 3), (std::vector<uint16_t>{256, 512, 65280}));
  // 4 -> 3 and 1 -> 4 go to their converters.
  ko::CImg back;
  Make(back, 1, 1, 3, ko::kTypeRGBByte);
  ASSERT_EQ(ko::ConvertImage(rgba16, back), ko::S_OK);
  EXPECT_EQ(back.RowPtr(0)[2], 255);
  ko::CImg one, colour;
  Make(one, 1, 1, 1, ko::kElemByte, 128);
  Make(colour, 1, 1, 4, ko::kTypeRGBAFloat);
  ASSERT_EQ(ko::ConvertImage(one, colour), ko::S_OK);
  EXPECT_EQ(reinterpret_cast<float*>(colour.RowPtr(0))[3], 255.0f);
  EXPECT_EQ(reinterpret_cast<float*>(colour.RowPtr(0))[0], 0.501960813999176f);
}

// Rows with padding: only width x bands elements of each row are written, for the equal
// layout (block copy and vector paths) and the layout converters alike.
TEST(ConvertImage, BytesBeyondTheRowStayUntouched) {
  struct Case {
    int32_t srcType, srcBands, srcSize, dstType, dstBands, dstSize;
  } cases[] = {{ko::kElemByte, 3, 1, ko::kElemByte, 3, 1},     {ko::kElemByte, 1, 1, ko::kElemFloat, 1, 4},
               {ko::kElemFloat, 1, 4, ko::kElemByte, 1, 1},    {ko::kElemFloat, 2, 4, ko::kElemShort, 2, 2},
               {ko::kElemShort, 1, 2, ko::kElemFloat, 1, 4},   {ko::kElemFloat, 1, 4, ko::kElemFloat, 1, 4},
               {ko::kElemByte, 4, 1, ko::kElemFloat, 1, 4},    {ko::kElemByte, 1, 1, ko::kElemShort, 4, 2},
               {ko::kElemByte, 3, 1, ko::kElemByte, 4, 1},     {ko::kElemShort, 4, 2, ko::kElemByte, 3, 1}};
  for (const Case& c : cases) {
    for (int32_t width : {1, 5, 17, 37}) {
      ko::CImg src, dst;
      std::vector<uint8_t> smem, dmem;
      kotest::CreatePadded(src, width, 3, c.srcBands, c.srcSize, c.srcType, smem, 12, 0x3C);
      kotest::CreatePadded(dst, width, 3, c.dstBands, c.dstSize, c.dstType, dmem, 20, 0xEE);
      ASSERT_EQ(ko::ConvertImage(src, dst), ko::S_OK);
      const int32_t rowBytes = width * c.dstBands * c.dstSize;
      for (int32_t y = 0; y < 3; ++y)
        for (int32_t b = rowBytes; b < dst.stride; ++b)
          ASSERT_EQ(dst.RowPtr(y)[b], 0xEE) << c.srcType << "/" << c.dstType << " width " << width << " row " << y;
    }
  }
}

}  // namespace
