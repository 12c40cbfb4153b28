#include <gtest/gtest.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "codec_test_util.h"

using namespace ko;
using namespace codec_test;

namespace {

// A plain libjpeg decode with the library's defaults: the reference the stand-in must match.
struct RefError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void RefExit(j_common_ptr c) { longjmp(reinterpret_cast<RefError*>(c->err)->jump, 1); }
void RefQuiet(j_common_ptr, int) {}

std::vector<uint8_t> ReferenceDecode(const std::vector<uint8_t>& file, J_COLOR_SPACE space, int* components) {
  jpeg_decompress_struct cinfo;
  RefError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = RefExit;
  err.mgr.emit_message = RefQuiet;
  std::vector<uint8_t>* out = new std::vector<uint8_t>;  // survives a longjmp
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    delete out;
    return {};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), file.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = space;
  jpeg_start_decompress(&cinfo);
  *components = cinfo.output_components;
  const size_t row = size_t{cinfo.output_width} * cinfo.output_components;
  out->resize(row * cinfo.output_height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW p = out->data() + cinfo.output_scanline * row;
    jpeg_read_scanlines(&cinfo, &p, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::vector<uint8_t> result = std::move(*out);
  delete out;
  return result;
}

std::vector<uint8_t> Gradient(uint32_t w, uint32_t h, int components) {
  std::vector<uint8_t> s(size_t{w} * h * components);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (int c = 0; c < components; ++c)
        s[(size_t{y} * w + x) * components + c] = static_cast<uint8_t>((x * 7 + y * 3 + c * 60 + (x * y) % 23) & 0xFF);
  return s;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& s, uint32_t w, uint32_t h, const JpegWriteOptions& o) {
  CodecBuffer out;
  EXPECT_TRUE(WriteJpeg(s.data(), w, h, size_t{w} * o.components, o, &out));
  return ToVector(out);
}

class JpegCodec : public ::testing::Test {
 protected:
  GdiplusSession session;
};

TEST_F(JpegCodec, ColourPixelsAreLibjpegsDefaultDecodeInBlueGreenRedOrder) {
  const uint32_t w = 45, h = 29;  // not whole MCUs: edge blocks and upsampling included
  const auto samples = Gradient(w, h, 3);
  for (int variant = 0; variant < 3; ++variant) {
    JpegWriteOptions o;
    o.progressive = variant == 1;
    o.restartInterval = variant == 2 ? 2 : 0;
    const auto file = Encode(samples, w, h, o);
    int components = 0;
    const auto rgb = ReferenceDecode(file, JCS_RGB, &components);
    ASSERT_EQ(components, 3);
    Bitmap b;
    ASSERT_EQ(b.Create(file), Ok);
    EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
    const auto bgr = LockAll(b.get(), PixelFormat24bppRGB);
    ASSERT_EQ(bgr.size(), rgb.size());
    for (size_t p = 0; p < size_t{w} * h; ++p) {
      ASSERT_EQ(bgr[3 * p], rgb[3 * p + 2]) << "variant " << variant << " pixel " << p;
      ASSERT_EQ(bgr[3 * p + 1], rgb[3 * p + 1]);
      ASSERT_EQ(bgr[3 * p + 2], rgb[3 * p]);
    }
    const auto argb = LockAll(b.get(), PixelFormat32bppARGB);
    EXPECT_EQ(argb[3], 255);
    EXPECT_EQ(argb[4 * 17 + 1], bgr[3 * 17 + 1]);
  }
}

TEST_F(JpegCodec, GreyIsIndexedWithTheIdentityPalette) {
  const auto samples = Gradient(33, 17, 1);
  JpegWriteOptions o;
  o.components = 1;
  const auto file = Encode(samples, 33, 17, o);
  int components = 0;
  const auto grey = ReferenceDecode(file, JCS_GRAYSCALE, &components);
  Bitmap b;
  ASSERT_EQ(b.Create(file), Ok);
  EXPECT_EQ(b.Format(), PixelFormat8bppIndexed);
  const auto palette = b.Palette();
  ASSERT_EQ(palette.size(), 256u);
  for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(palette[i], 0xFF000000u | i << 16 | i << 8 | i);
  EXPECT_EQ(LockAll(b.get(), PixelFormat8bppIndexed), grey);
}

TEST_F(JpegCodec, CmykComesAsRgbWithAdobeFilesTakenAsInverted) {
  const uint32_t w = 16, h = 8;
  const auto samples = Gradient(w, h, 4);
  for (bool adobe : {true, false}) {
    JpegWriteOptions o;
    o.components = 4;
    o.adobeMarker = adobe;
    const auto file = Encode(samples, w, h, o);
    int components = 0;
    const auto cmyk = ReferenceDecode(file, JCS_CMYK, &components);
    ASSERT_EQ(components, 4);
    Bitmap b;
    ASSERT_EQ(b.Create(file), Ok);
    EXPECT_EQ(b.Format(), PixelFormat24bppRGB);
    const auto bgr = LockAll(b.get(), PixelFormat24bppRGB);
    for (size_t p = 0; p < size_t{w} * h; ++p) {
      auto ink = [&](int c) {
        const double v = adobe ? cmyk[4 * p + c] : 255 - cmyk[4 * p + c];
        const double k = adobe ? cmyk[4 * p + 3] : 255 - cmyk[4 * p + 3];
        return static_cast<uint8_t>(std::lround(v * k / 255.0));
      };
      ASSERT_EQ(bgr[3 * p + 2], ink(0)) << adobe << " " << p;
      ASSERT_EQ(bgr[3 * p + 1], ink(1));
      ASSERT_EQ(bgr[3 * p + 0], ink(2));
    }
  }
}

TEST_F(JpegCodec, ExifTagsBecomePropertyItemsAndOrientationDoesNotRotate) {
  std::vector<uint8_t> app1 = {'E', 'x', 'i', 'f', 0, 0};
  const auto exif = SampleExif();
  app1.insert(app1.end(), exif.begin(), exif.end());
  JpegWriteOptions o;
  o.app1 = app1.data();
  o.app1Length = static_cast<uint32_t>(app1.size());
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(Gradient(24, 8, 3), 24, 8, o)), Ok);
  EXPECT_EQ(b.Width(), 24u);  // Orientation 6 would turn it; pixels come as stored
  EXPECT_EQ(b.Height(), 8u);
  const auto items = Properties(b.get());
  const Item* make = FindItem(items, 0x010F);
  const Item* orientation = FindItem(items, 0x0112);
  const Item* exposure = FindItem(items, 0x829A);
  const Item* comment = FindItem(items, 0x9286);
  ASSERT_TRUE(make && orientation && exposure && comment);
  EXPECT_EQ(make->type, PropertyTagTypeASCII);
  EXPECT_EQ(ItemText(*make), "Camera");
  EXPECT_EQ(orientation->type, PropertyTagTypeShort);
  EXPECT_EQ(orientation->value, (std::vector<uint8_t>{6, 0}));
  EXPECT_EQ(exposure->type, PropertyTagTypeRational);
  EXPECT_EQ(exposure->value, (std::vector<uint8_t>{1, 0, 0, 0, 250, 0, 0, 0}));
  EXPECT_EQ(comment->type, PropertyTagTypeUndefined);
  EXPECT_EQ(comment->value.size(), 12u);
}

TEST_F(JpegCodec, BrokenExifLeavesTheImageReadable) {
  std::vector<uint8_t> app1 = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F};
  JpegWriteOptions o;
  o.app1 = app1.data();
  o.app1Length = static_cast<uint32_t>(app1.size());
  Bitmap b;
  ASSERT_EQ(b.Create(Encode(Gradient(8, 8, 3), 8, 8, o)), Ok);
  EXPECT_TRUE(Properties(b.get()).empty());
  GpStatus s;
  LockAll(b.get(), PixelFormat24bppRGB, &s);
  EXPECT_EQ(s, Ok);
}

TEST_F(JpegCodec, CutAndDamagedFilesFailQuietly) {
  JpegWriteOptions o;
  o.progressive = true;
  const auto file = Encode(Gradient(64, 64, 3), 64, 64, o);
  StderrCapture capture;
  {
    Bitmap b;
    ASSERT_EQ(b.Create(std::vector<uint8_t>(file.begin(), file.begin() + file.size() * 2 / 3)), Ok);
    GpStatus s;
    EXPECT_TRUE(LockAll(b.get(), PixelFormat24bppRGB, &s).empty());
    EXPECT_EQ(s, GenericError);
  }
  {
    Bitmap b;
    EXPECT_EQ(b.Create(std::vector<uint8_t>(file.begin(), file.begin() + 40)), UnknownImageFormat);
    EXPECT_EQ(b.Create(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xD9}), UnknownImageFormat);
    std::vector<uint8_t> noise = {0xFF, 0xD8, 0xFF};
    for (int i = 0; i < 500; ++i) noise.push_back(static_cast<uint8_t>(i * 37));
    EXPECT_EQ(b.Create(noise), UnknownImageFormat);
  }
  EXPECT_EQ(capture.Take(), "");
}

}  // namespace
