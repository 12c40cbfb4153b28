#include "ko/convert/band_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "convert_test_util.h"
#include "ko/convert/swap_red_blue.h"

namespace {

using kotest::AlignedBytes;
using kotest::ScalarOnly;

// A created image filled from a list of samples, row after row.
template <class T>
void Make(ko::CImg& img, int32_t w, int32_t h, int32_t bands, const std::vector<T>& samples) {
  ASSERT_EQ(img.Create(w, h, bands, sizeof(T), ko::ElementTraits<T>::type, 0), ko::S_OK);
  size_t k = 0;
  for (int32_t y = 0; y < h; ++y) {
    T* row = reinterpret_cast<T*>(img.RowPtr(y));
    for (int32_t i = 0; i < w * bands; ++i) row[i] = k < samples.size() ? samples[k++] : T(0);
  }
}

template <class T>
std::vector<T> Pixel(const ko::CImg& img, int32_t x, int32_t y) {
  const T* p = reinterpret_cast<const T*>(img.RowPtr(y)) + static_cast<size_t>(x) * img.bands;
  return std::vector<T>(p, p + img.bands);
}

template <class S, class D>
D GrayOf(const std::vector<S>& bgr, int32_t srcBands) {
  ko::CImg src, dst;
  std::vector<S> px = bgr;
  px.resize(srcBands, S(77));  // alpha, when there is one
  Make<S>(src, 1, 1, srcBands, px);
  Make<D>(dst, 1, 1, 1, {});
  EXPECT_EQ((ko::ConvertColorToGray<S, D>(src, dst)), ko::S_OK);
  return Pixel<D>(dst, 0, 0)[0];
}

TEST(ColorToGray, WeightsOfTheSevenColours) {
  // (blue, green, red) -> gray, identical from 3 and 4 bands and for any alpha.
  struct Case {
    uint8_t b, g, r;
    float gray;
  } cases[] = {{0, 0, 255, 76.2449951171875f},   {0, 255, 0, 149.68499755859375f}, {255, 0, 0, 29.06999969482422f},
               {10, 20, 30, 21.850000381469727f}, {128, 128, 128, 128.0f},          {255, 255, 255, 255.0f},
               {0, 0, 0, 0.0f}};
  for (const Case& c : cases) {
    EXPECT_EQ((GrayOf<uint8_t, float>({c.b, c.g, c.r}, 3)), c.gray);
    EXPECT_EQ((GrayOf<uint8_t, float>({c.b, c.g, c.r}, 4)), c.gray);
    for (uint8_t alpha : {0, 1, 200, 255}) {
      EXPECT_EQ((GrayOf<uint8_t, float>({c.b, c.g, c.r, alpha}, 4)), c.gray);
    }
  }
}

TEST(ColorToGray, DestinationRulesWithoutRescaling) {
  EXPECT_EQ((GrayOf<uint8_t, uint8_t>({0, 0, 255}, 4)), 76);
  EXPECT_EQ((GrayOf<uint8_t, uint16_t>({0, 0, 255}, 3)), 76);
  EXPECT_EQ((GrayOf<uint16_t, uint8_t>({1000, 1000, 1000}, 3)), 255);
  EXPECT_EQ((GrayOf<uint16_t, uint16_t>({1000, 1000, 1000}, 4)), 1000);
  EXPECT_EQ((GrayOf<uint16_t, float>({65535, 65535, 65535}, 3)), 65535.0f);
  EXPECT_EQ((GrayOf<float, uint8_t>({-10.f, -10.f, -10.f}, 3)), 0);
  EXPECT_EQ((GrayOf<float, float>({-10.f, -10.f, -10.f}, 4)), -10.0f);
  EXPECT_EQ((GrayOf<float, uint16_t>({1e9f, 1e9f, 1e9f}, 3)), 65535);
  EXPECT_TRUE(std::isnan((GrayOf<float, float>({NAN, 0.f, 0.f}, 3))));
  EXPECT_EQ((GrayOf<float, uint8_t>({NAN, 0.f, 0.f}, 3)), 0);
  // int source values are signed.
  EXPECT_EQ((GrayOf<int32_t, float>({-100, -100, -100}, 3)), static_cast<float>(-100.0 * 0.299f - 100.0 * 0.587f - 100.0 * 0.114f));
}

TEST(ColorToGray, CoversOnlyTheCommonPartAndChecksBands) {
  ko::CImg src, dst;
  Make<uint8_t>(src, 3, 2, 3, std::vector<uint8_t>(18, 100));
  Make<float>(dst, 5, 3, 1, std::vector<float>(15, -1.0f));
  ASSERT_EQ((ko::ConvertColorToGray<uint8_t, float>(src, dst)), ko::S_OK);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(Pixel<float>(dst, x, y)[0], (x < 3 && y < 2) ? 100.0f : -1.0f) << x << "," << y;

  ko::CImg two, four;
  Make<uint8_t>(two, 3, 2, 2, {});
  Make<float>(four, 3, 2, 4, {});
  EXPECT_EQ((ko::ConvertColorToGray<uint8_t, float>(two, dst)), ko::E_INVALIDARG);
  EXPECT_EQ((ko::ConvertColorToGray<uint8_t, float>(src, four)), ko::E_INVALIDARG);
}

template <class S, class D>
std::vector<D> ColourOf(S gray, int32_t dstBands) {
  ko::CImg src, dst;
  Make<S>(src, 1, 1, 1, {gray});
  Make<D>(dst, 1, 1, dstBands, {});
  EXPECT_EQ((ko::ConvertGrayToColor<S, D>(src, dst)), ko::S_OK);
  return Pixel<D>(dst, 0, 0);
}

TEST(GrayToColor, ScaleFactorsAndAlpha) {
  using V8 = std::vector<uint8_t>;
  using V16 = std::vector<uint16_t>;
  using VF = std::vector<float>;
  EXPECT_EQ((ColourOf<uint8_t, float>(128, 4)), (VF{0.501960813999176f, 0.501960813999176f, 0.501960813999176f, 255.0f}));
  EXPECT_EQ((ColourOf<uint8_t, float>(255, 3)), (VF{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ((ColourOf<uint16_t, float>(65535, 4)), (VF{1.0f, 1.0f, 1.0f, 255.0f}));
  EXPECT_EQ((ColourOf<uint16_t, float>(1, 3)[0]), static_cast<float>(1.5259021893143654e-05));
  EXPECT_EQ((ColourOf<float, uint8_t>(0.5f, 3)), (V8{128, 128, 128}));  // 127.5, ties to even
  EXPECT_EQ((ColourOf<float, uint8_t>(2.0f, 4)), (V8{255, 255, 255, 255}));
  EXPECT_EQ((ColourOf<float, uint8_t>(-1.0f, 3)), (V8{0, 0, 0}));
  EXPECT_EQ((ColourOf<float, uint16_t>(0.5f, 4)), (V16{32768, 32768, 32768, 65535}));  // 32767.5
  EXPECT_EQ((ColourOf<uint16_t, uint8_t>(65535, 4)), (V8{255, 255, 255, 255}));
  EXPECT_EQ((ColourOf<uint16_t, uint8_t>(300, 3)), (V8{1, 1, 1}));
  EXPECT_EQ((ColourOf<uint8_t, uint16_t>(255, 4)), (V16{65280, 65280, 65280, 65535}));
  EXPECT_EQ((ColourOf<uint8_t, uint8_t>(9, 4)), (V8{9, 9, 9, 255}));
  EXPECT_EQ((ColourOf<uint16_t, uint16_t>(9, 4)), (V16{9, 9, 9, 65535}));
  EXPECT_EQ((ColourOf<float, float>(0.25f, 4)), (VF{0.25f, 0.25f, 0.25f, 255.0f}));
  EXPECT_EQ((ColourOf<int32_t, float>(16777217, 3)), (VF{16777216.0f, 16777216.0f, 16777216.0f}));

  ko::CImg gray, colour;
  Make<uint8_t>(gray, 2, 2, 3, {});
  Make<uint8_t>(colour, 2, 2, 4, {});
  EXPECT_EQ((ko::ConvertGrayToColor<uint8_t, uint8_t>(gray, colour)), ko::E_INVALIDARG);
}

TEST(RGBToRGBA, KeepsValuesAndSetsAlpha) {
  {
    ko::CImg src, dst;
    Make<uint8_t>(src, 1, 1, 3, {1, 2, 3});
    Make<uint16_t>(dst, 1, 1, 4, {});
    ASSERT_EQ((ko::ConvertRGBToRGBA<uint8_t, uint16_t>(src, dst, 255)), ko::S_OK);
    EXPECT_EQ(Pixel<uint16_t>(dst, 0, 0), (std::vector<uint16_t>{1, 2, 3, 255}));
  }
  {
    ko::CImg src, dst;
    Make<float>(src, 1, 1, 3, {0.2f, 300.0f, -1.0f});
    Make<uint8_t>(dst, 1, 1, 4, {});
    ASSERT_EQ((ko::ConvertRGBToRGBA<float, uint8_t>(src, dst, 255)), ko::S_OK);
    EXPECT_EQ(Pixel<uint8_t>(dst, 0, 0), (std::vector<uint8_t>{0, 255, 0, 255}));
  }
  {
    ko::CImg src, dst;
    Make<uint16_t>(src, 1, 1, 3, {1, 2, 3});
    Make<float>(dst, 1, 1, 4, {});
    ASSERT_EQ((ko::ConvertRGBToRGBA<uint16_t, float>(src, dst, 255)), ko::S_OK);
    EXPECT_EQ(Pixel<float>(dst, 0, 0), (std::vector<float>{1.0f, 2.0f, 3.0f, 255.0f}));
  }
  {
    ko::CImg src, dst;
    Make<uint16_t>(src, 1, 1, 3, {256, 1000, 255});
    Make<uint8_t>(dst, 1, 1, 4, {});
    ASSERT_EQ((ko::ConvertRGBToRGBA<uint16_t, uint8_t>(src, dst, 255)), ko::S_OK);
    EXPECT_EQ(Pixel<uint8_t>(dst, 0, 0), (std::vector<uint8_t>{255, 255, 255, 255}));
  }
  // The checks, in their order, all with E_INVALIDARG.
  ko::CImg empty, src, dst, narrow, four;
  Make<uint8_t>(src, 2, 2, 3, {});
  Make<uint8_t>(dst, 2, 2, 4, {});
  Make<uint8_t>(narrow, 1, 2, 4, {});
  Make<uint8_t>(four, 2, 2, 4, {});
  empty.type = ko::kElemByte;
  EXPECT_EQ((ko::ConvertRGBToRGBA<uint8_t, uint8_t>(empty, dst, 255)), ko::E_INVALIDARG);
  EXPECT_EQ((ko::ConvertRGBToRGBA<uint8_t, uint8_t>(src, narrow, 255)), ko::E_INVALIDARG);
  EXPECT_EQ((ko::ConvertRGBToRGBA<uint8_t, uint8_t>(four, dst, 255)), ko::E_INVALIDARG);
  EXPECT_EQ((ko::ConvertRGBAToRGB<uint8_t, uint8_t>(dst, four)), ko::E_INVALIDARG);
}

TEST(RGBAToRGB, KeepsValuesAndIgnoresAlpha) {
  ko::CImg src, dst;
  Make<uint16_t>(src, 2, 1, 4, {256, 1000, 255, 7, 1, 2, 3, 65535});
  Make<uint8_t>(dst, 2, 1, 3, {});
  ASSERT_EQ((ko::ConvertRGBAToRGB<uint16_t, uint8_t>(src, dst)), ko::S_OK);
  EXPECT_EQ(Pixel<uint8_t>(dst, 0, 0), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(Pixel<uint8_t>(dst, 1, 0), (std::vector<uint8_t>{1, 2, 3}));

  ko::CImg bsrc, wdst;
  Make<uint8_t>(bsrc, 1, 1, 4, {255, 0, 9, 1});
  Make<uint16_t>(wdst, 1, 1, 3, {});
  ASSERT_EQ((ko::ConvertRGBAToRGB<uint8_t, uint16_t>(bsrc, wdst)), ko::S_OK);
  EXPECT_EQ(Pixel<uint16_t>(wdst, 0, 0), (std::vector<uint16_t>{255, 0, 9}));
}

// The byte 3-to-4 converter against a naive loop, for every width 0..70 and every start
// alignment of both rows, with and without SSE2; the bytes after a row stay untouched.
TEST(RGBToRGBA, ByteRowsMatchTheNaiveLoopAtEveryAlignment) {
  std::mt19937 rng(3);
  constexpr uint8_t kGuard = 0xC3;
  for (int scalar = 0; scalar < 2; ++scalar) {
    for (int32_t width = 0; width <= 70; ++width) {
      for (int32_t srcOff = 0; srcOff < 16; ++srcOff) {
        for (int32_t dstOff = 0; dstOff < 16; ++dstOff) {
          AlignedBytes sbuf(16 + 3 * 70), dbuf(16 + 4 * 70 + 32, kGuard);
          uint8_t* s = sbuf.data() + srcOff;
          for (int32_t i = 0; i < 3 * width; ++i) s[i] = static_cast<uint8_t>(rng());
          const int32_t alpha = static_cast<int32_t>(rng() % 256);
          ko::CImg src, dst;
          src.Attach(s, width, 1, 3, 3 * width, 1, ko::kTypeRGBByte);
          dst.Attach(dbuf.data() + dstOff, width, 1, 4, 4 * width, 1, ko::kTypeRGBAByte);
          ko::HRESULT hr;
          if (scalar) {
            ScalarOnly only;
            hr = ko::ConvertRGBToRGBA<uint8_t, uint8_t>(src, dst, alpha);
          } else {
            hr = ko::ConvertRGBToRGBA<uint8_t, uint8_t>(src, dst, alpha);
          }
          ASSERT_EQ(hr, ko::S_OK);
          const uint8_t* d = dbuf.data();
          for (int32_t b = 0; b < 16 + 4 * 70 + 32; ++b) {
            uint8_t want = kGuard;
            const int32_t rel = b - dstOff;
            if (rel >= 0 && rel < 4 * width) want = (rel % 4 == 3) ? static_cast<uint8_t>(alpha) : s[rel / 4 * 3 + rel % 4];
            ASSERT_EQ(d[b], want) << "width " << width << " offsets " << srcOff << "/" << dstOff << " byte " << b;
          }
        }
      }
    }
  }
}

TEST(SwapRedBlue, BytePixelsIncludingThoseOutsideTheGroups) {
  for (int scalar = 0; scalar < 2; ++scalar) {
    if (scalar) ko::RestrictCpuFeatures(false, false, false);
    for (size_t count = 0; count <= 21; ++count) {
      for (size_t off = 0; off < 16; ++off) {
        AlignedBytes buf(16 + 4 * 21 + 16, 0xEE);
        uint8_t* p = buf.data() + off;
        for (size_t i = 0; i < 4 * count; ++i) p[i] = static_cast<uint8_t>(i + 1);
        ko::SwapRedBlue(p, count);
        for (size_t b = 0; b < 16 + 4 * 21 + 16; ++b) {
          const ptrdiff_t rel = static_cast<ptrdiff_t>(b) - static_cast<ptrdiff_t>(off);
          uint8_t want = 0xEE;
          if (rel >= 0 && rel < static_cast<ptrdiff_t>(4 * count)) {
            const ptrdiff_t band = rel % 4, base = rel - band;
            const ptrdiff_t from = band == 0 ? base + 2 : band == 2 ? base : rel;
            want = static_cast<uint8_t>(from + 1);
          }
          ASSERT_EQ(buf.data()[b], want) << "count " << count << " off " << off << " byte " << b;
        }
      }
    }
  }
  ko::RestrictCpuFeatures(true, true, true);
  uint8_t five[20];
  for (int i = 0; i < 20; ++i) five[i] = static_cast<uint8_t>(i + 1);
  ko::SwapRedBlue(five, 5);
  EXPECT_EQ(five[16], 19);
  EXPECT_EQ(five[17], 18);
  EXPECT_EQ(five[18], 17);
  EXPECT_EQ(five[19], 20);
}

TEST(SwapRedBlue, FloatPixelsMoveBitsUnchanged) {
  for (int scalar = 0; scalar < 2; ++scalar) {
    if (scalar) ko::RestrictCpuFeatures(false, false, false);
    for (size_t count = 0; count <= 9; ++count) {
      for (size_t off = 0; off < 16; off += 4) {
        AlignedBytes buf(16 + 16 * 9 + 16, 0xEE);
        auto* p = buf.at<float>(off);
        // Signalling NaNs among the values: they must come back bit for bit.
        for (size_t i = 0; i < 4 * count; ++i) p[i] = kotest::BitsFloat(0x7F800001u + static_cast<uint32_t>(i));
        ko::SwapRedBlue(p, count);
        for (size_t i = 0; i < 4 * count; ++i) {
          const size_t band = i % 4, from = band == 0 ? i + 2 : band == 2 ? i - 2 : i;
          ASSERT_EQ(kotest::FloatBits(p[i]), 0x7F800001u + from);
        }
        for (size_t b = off + 16 * count; b < 16 + 16 * 9 + 16; ++b) ASSERT_EQ(buf.data()[b], 0xEE);
      }
    }
  }
  ko::RestrictCpuFeatures(true, true, true);
}

}  // namespace
