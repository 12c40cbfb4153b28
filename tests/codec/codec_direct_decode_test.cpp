// Locks that the decoder writes straight into (the caller's buffer, or opaque 32-bit rows
// from the PNG and JPEG decoders) must give the bytes of the route through the decoded
// image: a first lock of one pixel makes the bitmap decode and keep its own pixels, so
// that a second lock of the whole image takes that route.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec_test_util.h"

using namespace ko;
using namespace codec_test;

namespace {

std::vector<uint8_t> Samples(uint32_t w, uint32_t h, uint32_t channels, uint32_t bytesPerSample, uint32_t seed) {
  std::vector<uint8_t> v(size_t{w} * h * channels * bytesPerSample);
  uint32_t s = seed;
  for (size_t i = 0; i < v.size(); ++i) {
    s = s * 1103515245u + 12345u;
    // Smooth ramps plus noise, so that JPEG chroma and PNG filters both have work to do.
    v[i] = static_cast<uint8_t>((i / (channels * bytesPerSample)) % w * 7 + ((s >> 24) & 31));
  }
  return v;
}

// The whole image locked in `format` into a buffer of ours with `stride` (padding
// preset to 0xAB), either first (the direct route) or after a one-pixel lock.
std::vector<uint8_t> LockWhole(const std::vector<uint8_t>& file, int32_t format, bool afterDecode, bool userBuffer,
                               GpStatus* status) {
  Bitmap b;
  *status = b.Create(file);
  if (*status != Ok) return {};
  BitmapData data{};
  if (afterDecode) {
    const GpRect one{0, 0, 1, 1};
    *status = GdipBitmapLockBits(b.get(), &one, ImageLockModeRead, format, &data);
    if (*status != Ok) return {};
    GdipBitmapUnlockBits(b.get(), &data);
  }
  const uint32_t w = b.Width(), h = b.Height();
  const uint32_t bpp = GetPixelFormatSize(format) / 8;
  const size_t row = size_t{w} * bpp, stride = row + 5;
  std::vector<uint8_t> out(stride * h, 0xAB);
  data = BitmapData{};
  uint32_t flags = ImageLockModeRead;
  if (userBuffer) {
    data.Width = w;
    data.Height = h;
    data.Stride = static_cast<int32_t>(stride);
    data.PixelFormat = format;
    data.Scan0 = out.data();
    flags |= ImageLockModeUserInputBuf;
  }
  *status = GdipBitmapLockBits(b.get(), nullptr, flags, format, &data);
  if (*status != Ok) return out;
  if (!userBuffer)
    for (uint32_t y = 0; y < h; ++y)
      std::memcpy(&out[y * stride], static_cast<uint8_t*>(data.Scan0) + size_t{y} * data.Stride, row);
  GdipBitmapUnlockBits(b.get(), &data);
  return out;
}

void ExpectSameAsDecodedRoute(const std::vector<uint8_t>& file, const char* what) {
  SCOPED_TRACE(what);
  Bitmap probe;
  ASSERT_EQ(probe.Create(file), Ok);
  std::vector<int32_t> formats = {PixelFormat32bppARGB, PixelFormat32bppRGB, PixelFormat24bppRGB};
  if (probe.Format() & PixelFormatIndexed) formats.push_back(PixelFormat8bppIndexed);
  for (int32_t format : formats) {
    for (bool user : {true, false}) {
      SCOPED_TRACE(testing::Message() << "format " << std::hex << format << (user ? " caller's buffer" : " ours"));
      GpStatus sDirect, sKept;
      const auto direct = LockWhole(file, format, false, user, &sDirect);
      const auto kept = LockWhole(file, format, true, user, &sKept);
      ASSERT_EQ(sDirect, Ok);
      ASSERT_EQ(sKept, Ok);
      EXPECT_TRUE(direct == kept);
    }
  }
}

TEST(CodecDirectDecode, PngLayoutsMatchTheDecodedRoute) {
  GdiplusSession session;
  struct Case {
    const char* name;
    int colorType, depth;
    bool interlaced;
    int transparentGrey;
    uint32_t w, h;
  };
  const Case cases[] = {
      {"rgb", 2, 8, false, -1, 37, 23},          {"rgb interlaced", 2, 8, true, -1, 41, 19},
      {"rgb 16", 2, 16, false, -1, 9, 7},        {"rgba", 6, 8, false, -1, 13, 11},
      {"grey", 0, 8, false, -1, 33, 5},          {"grey interlaced", 0, 8, true, -1, 3, 17},
      {"grey tRNS", 0, 8, false, 7, 15, 6},      {"grey 16", 0, 16, false, -1, 8, 3},
      {"grey 2-bit", 0, 2, false, -1, 19, 4},    {"grey+alpha", 4, 8, true, -1, 10, 9},
      {"palette", 3, 8, false, -1, 21, 8},       {"palette 4-bit", 3, 4, true, -1, 7, 13},
      {"one pixel", 2, 8, false, -1, 1, 1},
  };
  uint8_t palette[3 * 256];
  for (int i = 0; i < 3 * 256; ++i) palette[i] = static_cast<uint8_t>(i * 37);
  for (const Case& c : cases) {
    const uint32_t channels = c.colorType == 2 ? 3 : c.colorType == 6 ? 4 : c.colorType == 4 ? 2 : 1;
    auto samples = Samples(c.w, c.h, channels, c.depth == 16 ? 2 : 1, c.w * 31 + c.h);
    if (c.depth < 8 || c.colorType == 3)
      for (auto& v : samples) v = static_cast<uint8_t>(v % (1u << (c.depth < 8 ? c.depth : 8)));
    PngWriteOptions o;
    o.colorType = c.colorType;
    o.bitDepth = c.depth;
    o.interlaced = c.interlaced;
    o.transparentGrey = c.transparentGrey;
    if (c.colorType == 3) {
      o.palette = palette;
      o.paletteCount = 1 << c.depth;
    }
    CodecBuffer file;
    ASSERT_TRUE(WritePng(samples.data(), c.w, c.h, size_t{c.w} * channels * (c.depth == 16 ? 2 : 1), o, &file))
        << c.name;
    ExpectSameAsDecodedRoute(ToVector(file), c.name);
  }
}

TEST(CodecDirectDecode, JpegLayoutsMatchTheDecodedRoute) {
  GdiplusSession session;
  struct Case {
    const char* name;
    int components;
    bool progressive, adobe;
    uint32_t w, h;
  };
  const Case cases[] = {
      {"colour", 3, false, true, 45, 31},      {"colour progressive", 3, true, true, 17, 33},
      {"grey", 1, false, true, 29, 14},        {"cmyk adobe", 4, false, true, 19, 21},
      {"cmyk plain", 4, false, false, 8, 9},   {"one pixel", 3, false, true, 1, 1},
  };
  for (const Case& c : cases) {
    const auto samples = Samples(c.w, c.h, static_cast<uint32_t>(c.components), 1, c.w + 7 * c.h);
    JpegWriteOptions o;
    o.components = c.components;
    o.progressive = c.progressive;
    o.adobeMarker = c.adobe;
    CodecBuffer file;
    ASSERT_TRUE(WriteJpeg(samples.data(), c.w, c.h, size_t{c.w} * c.components, o, &file)) << c.name;
    ExpectSameAsDecodedRoute(ToVector(file), c.name);
  }
}

// A decode that fails part-way leaves the caller's rows zeroed (padding untouched), for
// the direct route as for any other.
TEST(CodecDirectDecode, FailedDecodeLeavesDefinedRows) {
  GdiplusSession session;
  const uint32_t w = 64, h = 48;
  const auto samples = Samples(w, h, 3, 1, 5);
  CodecBuffer jpeg, png;
  ASSERT_TRUE(WriteJpeg(samples.data(), w, h, w * 3, JpegWriteOptions(), &jpeg));
  PngWriteOptions interlaced;
  interlaced.interlaced = true;
  ASSERT_TRUE(WritePng(samples.data(), w, h, w * 3, interlaced, &png));
  for (const CodecBuffer* whole : {&jpeg, &png}) {
    std::vector<uint8_t> cut = ToVector(*whole);
    cut.resize(cut.size() * 2 / 3);
    for (int32_t format : {PixelFormat32bppARGB, PixelFormat24bppRGB}) {
      GpStatus status;
      const auto out = LockWhole(cut, format, false, true, &status);
      ASSERT_EQ(status, GenericError);
      const size_t row = size_t{w} * (GetPixelFormatSize(format) / 8), stride = row + 5;
      for (uint32_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < row; ++x) ASSERT_EQ(out[y * stride + x], 0) << y << " " << x;
        for (size_t x = row; x < stride; ++x) ASSERT_EQ(out[y * stride + x], 0xAB);
      }
    }
  }
}

}  // namespace
