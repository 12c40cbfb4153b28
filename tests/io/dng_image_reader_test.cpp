#include "ko/io/dng_image_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ko/codec/testing/dng_writer.h"
#include "ko/convert/srgb_table.h"
#include "ko/io/image_file_reader.h"
#include "ko/io/image_file_sub_reader.h"
#include "ko/io/image_read_reason.h"
#include "ko/codec/testing/lossless_jpeg_encoder.h"
#include "ko/platform/memory.h"

namespace ko {
namespace {

using test::DngBuilder;
using test::DngStorage;

// ---------------------------------------------------------------------------------------
// An independent reference of the colour pipeline: doubles throughout, inverses by
// cofactors.

struct Ref {
  double m[3][3];
};

Ref RefMul(const Ref& a, const Ref& b) {
  Ref r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r.m[i][j] += a.m[i][k] * b.m[k][j];
  return r;
}

Ref RefInverse(const Ref& a) {
  const auto& m = a.m;
  Ref c;
  c.m[0][0] = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  c.m[0][1] = m[0][2] * m[2][1] - m[0][1] * m[2][2];
  c.m[0][2] = m[0][1] * m[1][2] - m[0][2] * m[1][1];
  c.m[1][0] = m[1][2] * m[2][0] - m[1][0] * m[2][2];
  c.m[1][1] = m[0][0] * m[2][2] - m[0][2] * m[2][0];
  c.m[1][2] = m[0][2] * m[1][0] - m[0][0] * m[1][2];
  c.m[2][0] = m[1][0] * m[2][1] - m[1][1] * m[2][0];
  c.m[2][1] = m[0][1] * m[2][0] - m[0][0] * m[2][1];
  c.m[2][2] = m[0][0] * m[1][1] - m[0][1] * m[1][0];
  const double det = m[0][0] * c.m[0][0] + m[0][1] * c.m[1][0] + m[0][2] * c.m[2][0];
  for (auto& row : c.m)
    for (double& x : row) x /= det;
  return c;
}

const Ref kRefIdentity = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

struct Colour {
  Ref colorMatrix = kRefIdentity;
  Ref calibration = kRefIdentity;
  double neutral[3] = {1, 1, 1};
  double whiteLevel = 65535;
  double exposure = 1;
};

// Linear sRGB (red, green, blue) in 16-bit codes, unclamped, for camera values rgb.
std::vector<double> ReferenceLinear(const Colour& c, const double rgb[3]) {
  const Ref srgbToXyz = {{{0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}}};
  const Ref bradford = {{{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
  const Ref camToXyz = RefInverse(RefMul(c.calibration, c.colorMatrix));
  double ws[3] = {}, wc[3] = {};
  const Ref bm = RefMul(bradford, srgbToXyz), bc = RefMul(bradford, camToXyz);
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) {
      ws[i] += bm.m[i][k];
      wc[i] += bc.m[i][k] * c.neutral[k];
    }
  Ref d{};
  for (int i = 0; i < 3; ++i) d.m[i][i] = ws[i] / wc[i];
  const Ref k = RefMul(RefMul(RefInverse(srgbToXyz), RefMul(RefMul(RefInverse(bradford), d), bradford)), camToXyz);
  const double s = c.exposure * 65535.0 / c.whiteLevel;
  std::vector<double> out(3, 0.0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i] += k.m[i][j] * rgb[j] * s;
  return out;
}

int ClampCode(double x) { return x < 0 ? 0 : (x > 65535 ? 65535 : static_cast<int>(x)); }

// The encoded sample must lie between the table entries one code either side of the
// reference (the tables are monotonic).
template <class T>
::testing::AssertionResult Near(T actual, double linear, const T* table) {
  const T lo = table[ClampCode(std::floor(linear - 1))];
  const T hi = table[ClampCode(std::ceil(linear + 1))];
  if (actual >= lo && actual <= hi) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "sample " << +actual << " outside [" << +lo << ", " << +hi
                                       << "] for linear " << linear;
}

struct Tables {
  Tables() : t16(65536), t8(65536) {
    BuildSrgbTable16(t16.data(), kSrgbEncode);
    BuildSrgbTable8(t8.data(), kSrgbEncode);
  }
  std::vector<uint16_t> t16;
  std::vector<uint8_t> t8;
};
const Tables& SrgbTables() {
  static const Tables tables;
  return tables;
}

// ---------------------------------------------------------------------------------------
// Mosaics and development

// CFA colour of each position for the TIFF/EP pattern codes.
std::vector<uint16_t> FlatMosaic(int w, int h, const uint8_t cfa[4], const int rgb[3]) {
  std::vector<uint16_t> s(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) s[static_cast<size_t>(y) * w + x] = static_cast<uint16_t>(rgb[cfa[(y & 1) * 2 + (x & 1)]]);
  return s;
}

int BandsOf(int32_t type) { return (type >> 16) == 1 ? 4 : 3; }

// Opens bytes, sizes the image as LoadImageFile does and reads into it. The open result
// is returned when it fails.
HRESULT Develop(const std::vector<uint8_t>& bytes, CImg* image, int32_t type = kTypeRGBA16,
                CDngImageReader* reader = nullptr) {
  CDngImageReader local;
  CDngImageReader& r = reader ? *reader : local;
  HRESULT hr = r.OpenMemory(bytes.data(), bytes.size());
  if (hr < 0) return hr;
  hr = EnsureImageSize(r.outputWidth, r.outputHeight, image, type, BandsOf(type));
  if (hr < 0) return hr;
  return r.ReadInto(image);
}

// Samples (blue, green, red, alpha) of a pixel of a 16-bit or byte colour image.
std::vector<int> Samples(const CImg& img, int x, int y) {
  std::vector<int> v;
  for (int b = 0; b < img.bands; ++b) {
    const uint8_t* p = img.BandPtr(x, y, b);
    v.push_back(img.elementSize == 2 ? *reinterpret_cast<const uint16_t*>(p) : *p);
  }
  return v;
}

// Every pixel of `img` with x0 <= x < x1 and y0 <= y < y1 matches the reference colour.
void ExpectColour(const CImg& img, const Colour& c, const double rgb[3], int x0, int y0, int x1, int y1) {
  const std::vector<double> lin = ReferenceLinear(c, rgb);
  const Tables& t = SrgbTables();
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      const std::vector<int> s = Samples(img, x, y);
      for (int band = 0; band < 3; ++band) {
        const double l = lin[2 - band];  // stored blue, green, red
        if (img.elementSize == 2)
          ASSERT_TRUE(Near(static_cast<uint16_t>(s[band]), l, t.t16.data())) << x << "," << y << " band " << band;
        else
          ASSERT_TRUE(Near(static_cast<uint8_t>(s[band]), l, t.t8.data())) << x << "," << y << " band " << band;
      }
      if (img.bands == 4) {
        ASSERT_EQ(s[3], img.elementSize == 2 ? 65535 : 255);
      }
    }
}

const uint8_t kRGGB[4] = {0, 1, 1, 2};

// ---------------------------------------------------------------------------------------

TEST(DngImageReader, UniformMosaicDevelopsToAUniformImage) {
  for (int32_t type : {kTypeRGBA16, kTypeRGBAByte, kTypeRGB16, kTypeRGBByte}) {
    SCOPED_TRACE(type);
    DngBuilder dng(10, 8, std::vector<uint16_t>(80, 20000));
    CImg img;
    ASSERT_EQ(Develop(dng.Bytes(), &img, type), S_OK);
    ASSERT_EQ(img.width, 10);
    ASSERT_EQ(img.height, 8);
    ASSERT_EQ(img.type, type);
    const std::vector<int> first = Samples(img, 0, 0);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 10; ++x) ASSERT_EQ(Samples(img, x, y), first) << x << "," << y;
    const double rgb[3] = {20000, 20000, 20000};
    ExpectColour(img, Colour(), rgb, 0, 0, 10, 8);
  }
}

TEST(DngImageReader, ColourPipelineMatchesAnIndependentComputation) {
  const int rgb[3] = {9000, 21000, 14000};
  DngBuilder dng(12, 10, FlatMosaic(12, 10, kRGGB, rgb));
  Colour c;
  const double cm[9] = {0.6722, -0.0635, -0.0963, -0.4287, 1.1460, 0.3176, -0.0753, 0.1625, 0.6300};
  const double cal[9] = {1.02, 0, 0, 0, 1, 0, 0, 0, 0.98};
  dng.Ifd0().SRational(50721, test::SRationals(std::vector<double>(cm, cm + 9), 10000));
  dng.Ifd0().SRational(50723, test::SRationals(std::vector<double>(cal, cal + 9), 100));
  dng.Ifd0().Rational(50728, {47, 100, 1, 1, 66, 100});
  for (int i = 0; i < 9; ++i) {
    c.colorMatrix.m[i / 3][i % 3] = cm[i];
    c.calibration.m[i / 3][i % 3] = cal[i];
  }
  c.neutral[0] = 0.47;
  c.neutral[2] = 0.66;
  for (int32_t type : {kTypeRGBA16, kTypeRGBByte}) {
    CImg img;
    ASSERT_EQ(Develop(dng.Bytes(), &img, type), S_OK);
    const double camera[3] = {9000, 21000, 14000};
    // Pixels two from the raw border: there the flat colour planes demosaic exactly.
    ExpectColour(img, c, camera, 2, 2, 10, 8);
  }
  // An exposure of 0.5 halves the camera values before the matrix.
  CDngImageReader reader;
  reader.exposure = 0.5f;
  CImg img;
  ASSERT_EQ(Develop(dng.Bytes(), &img, kTypeRGBA16, &reader), S_OK);
  c.exposure = 0.5;
  const double camera[3] = {9000, 21000, 14000};
  ExpectColour(img, c, camera, 2, 2, 10, 8);
}

TEST(DngImageReader, WhiteLevelScalesCameraValues) {
  DngBuilder dng(6, 6, std::vector<uint16_t>(36, 8000));
  dng.RawIfd().Short(50717, {16383});
  CImg img;
  ASSERT_EQ(Develop(dng.Bytes(), &img), S_OK);
  Colour c;
  c.whiteLevel = 16383;
  const double camera[3] = {8000, 8000, 8000};
  ExpectColour(img, c, camera, 0, 0, 6, 6);
  // The same camera values without the tag are four times darker in linear terms.
  DngBuilder plain(6, 6, std::vector<uint16_t>(36, 8000));
  CImg dark;
  ASSERT_EQ(Develop(plain.Bytes(), &dark), S_OK);
  EXPECT_LT(Samples(dark, 3, 3)[1], Samples(img, 3, 3)[1]);
}

TEST(DngImageReader, CropOriginSelectsTheBayerPhase) {
  const int rgb[3] = {5000, 20000, 35000};
  const double camera[3] = {5000, 20000, 35000};
  // The four patterns, each with the crop origin at every parity of (dx, dy).
  const uint8_t patterns[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
  for (const auto& cfa : patterns)
    for (int dy = 0; dy < 2; ++dy)
      for (int dx = 0; dx < 2; ++dx) {
        SCOPED_TRACE(testing::Message() << +cfa[0] << +cfa[1] << +cfa[2] << +cfa[3] << " dx " << dx << " dy " << dy);
        DngBuilder dng(16, 14, FlatMosaic(16, 14, cfa, rgb));
        dng.RawIfd().Byte(33422, {cfa[0], cfa[1], cfa[2], cfa[3]});
        dng.RawIfd().Short(50829, {0, 0, 14, 16});  // ActiveArea top, left, bottom, right
        dng.RawIfd().Long(50719, {static_cast<uint32_t>(2 + dx), static_cast<uint32_t>(2 + dy)});
        dng.RawIfd().Long(50720, {10, 8});
        CImg img;
        ASSERT_EQ(Develop(dng.Bytes(), &img), S_OK);
        ASSERT_EQ(img.width, 10);
        ASSERT_EQ(img.height, 8);
        ExpectColour(img, Colour(), camera, 0, 0, 10, 8);
      }
}

TEST(DngImageReader, OddCropWidthLeavesTheLastColumnBlack) {
  DngBuilder dng(10, 8, std::vector<uint16_t>(80, 30000));
  dng.RawIfd().Rational(50720, {7, 1, 6, 1});  // DefaultCropSize as rationals
  CImg img;
  ASSERT_EQ(Develop(dng.Bytes(), &img, kTypeRGBAByte), S_OK);
  ASSERT_EQ(img.width, 7);
  ASSERT_EQ(img.height, 6);
  const double camera[3] = {30000, 30000, 30000};
  ExpectColour(img, Colour(), camera, 0, 0, 6, 6);
  for (int y = 0; y < 6; ++y) EXPECT_EQ(Samples(img, 6, y), (std::vector<int>{0, 0, 0, 255}));
}

TEST(DngImageReader, SubtractsRepeatedBlackLevelsAndDeltasInsideTheActiveArea) {
  const int w = 16, h = 14;
  // Active area 2..13 x 2..11; the crop keeps two more samples inside it.
  const int top = 2, left = 2, bottom = 12, right = 14;
  const int pattern[4] = {100, 200, 300, 400};
  auto deltaH = [](int x) { return (x % 3) - 1; };
  auto deltaV = [](int y) { return (y % 2) * 2; };
  std::vector<uint16_t> s(w * h, 60000);  // outside the active area: never looked at
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x) {
      const int ay = y - top, ax = x - left;
      s[y * w + x] = static_cast<uint16_t>(12000 + pattern[(ay % 2) * 2 + ax % 2] + deltaV(ay) + deltaH(ax));
    }
  for (bool rational : {false, true}) {
    DngBuilder dng(w, h, s);
    auto& raw = dng.RawIfd();
    raw.Short(50829, {top, left, bottom, right});
    raw.Short(50713, {2, 2});
    if (rational) raw.Rational(50714, {200, 2, 400, 2, 600, 2, 800, 2});
    else raw.Short(50714, {100, 200, 300, 400});
    std::vector<int32_t> dh, dv;
    for (int x = 0; x < right - left; ++x) dh.insert(dh.end(), {deltaH(x) * 4, 4});
    for (int y = 0; y < bottom - top; ++y) dv.insert(dv.end(), {deltaV(y), 1});
    raw.SRational(50715, dh);
    raw.SRational(50716, dv);
    raw.Long(50719, {2, 2});
    raw.Long(50720, {8, 6});
    CImg img;
    ASSERT_EQ(Develop(dng.Bytes(), &img), S_OK);
    const double camera[3] = {12000, 12000, 12000};
    ExpectColour(img, Colour(), camera, 0, 0, 8, 6);
  }
}

TEST(DngImageReader, SecondReadIntoReusesTheDemosaicedImage) {
  DngBuilder dng(8, 8, std::vector<uint16_t>(64, 25000));
  const std::string path = test::WriteTempFile(dng.Bytes(), ".dng");
  ASSERT_FALSE(path.empty());
  const std::u16string name(path.begin(), path.end());
  CDngImageReader reader;
  ASSERT_EQ(reader.Open(name.c_str()), S_OK);
  unlink(path.c_str());
  EXPECT_FALSE(reader.IsDeveloped());
  CImg first;
  ASSERT_EQ(EnsureImageSize(reader.outputWidth, reader.outputHeight, &first, kTypeRGBA16, 4), S_OK);
  ASSERT_EQ(reader.ReadInto(&first), S_OK);
  EXPECT_TRUE(reader.IsDeveloped());
  // Another type, another exposure: only the colour step runs again.
  CImg second;
  ASSERT_EQ(EnsureImageSize(reader.outputWidth, reader.outputHeight, &second, kTypeRGBByte, 3), S_OK);
  reader.exposure = 2.0f;
  ASSERT_EQ(reader.ReadInto(&second), S_OK);
  Colour c;
  c.exposure = 2;
  const double camera[3] = {25000, 25000, 25000};
  ExpectColour(second, c, camera, 0, 0, 8, 8);
  c.exposure = 1;
  ExpectColour(first, c, camera, 0, 0, 8, 8);
  // Opening again starts afresh.
  ASSERT_EQ(reader.OpenMemory(dng.Bytes().data(), dng.Bytes().size()), S_OK);
  EXPECT_FALSE(reader.IsDeveloped());
}

TEST(DngImageReader, LoadImageFileDevelopsIntoByteColourByDefault) {
  DngBuilder dng(6, 4, std::vector<uint16_t>(24, 10000), /*inSubIfd=*/false, /*rowsPerStrip=*/1);
  const std::string path = test::WriteTempFile(dng.Bytes(), ".DNG");
  ASSERT_FALSE(path.empty());
  const std::u16string name(path.begin(), path.end());
  CImg img;
  const HRESULT hr = LoadImageFile(name.c_str(), &img, 1, -1);
  unlink(path.c_str());
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(img.type, kTypeRGBAByte);
  EXPECT_EQ(img.bands, 4);
  EXPECT_EQ(img.width, 6);
  EXPECT_EQ(img.height, 4);
  const double camera[3] = {10000, 10000, 10000};
  ExpectColour(img, Colour(), camera, 0, 0, 6, 4);
  CImg none;
  EXPECT_EQ(LoadImageFile(u"/nonexistent/shot.dng", &none, 1, -1), MakeCode(0x80070002u));
  EXPECT_FALSE(none.HasMemory());
  // A file that opens but does not develop leaves no image behind, and says why.
  DngStorage jpeg;
  jpeg.losslessJpeg = true;
  DngBuilder cut(6, 4, std::vector<uint16_t>(24, 10000), jpeg, false);
  cut.RawIfd().Long(279, {static_cast<uint32_t>(cut.RawIfd().pieces[0].size() - 8)});
  const std::string cutPath = test::WriteTempFile(cut.Bytes(), ".dng");
  const std::u16string cutName(cutPath.begin(), cutPath.end());
  const HRESULT failed = LoadImageFile(cutName.c_str(), &none, 1, -1);
  unlink(cutPath.c_str());
  EXPECT_EQ(failed, E_FAIL);
  EXPECT_FALSE(none.HasMemory());
  EXPECT_EQ(ImageReadReason(failed, cutPath), "the file is truncated or corrupt: data that ends early");
}

TEST(DngImageReader, ListsEveryDirectoryWithASubfileType) {
  DngBuilder dng(8, 6, std::vector<uint16_t>(48, 1000));
  CDngImageReader reader;
  ASSERT_EQ(reader.OpenMemory(dng.Bytes().data(), dng.Bytes().size()), S_OK);
  ASSERT_EQ(reader.DirectoryCount(), 2);
  EXPECT_EQ(reader.Directory(0).subfileType, 1);  // the thumbnail
  EXPECT_EQ(reader.Directory(0).width, 2);
  EXPECT_EQ(reader.Directory(1).subfileType, 0);
  EXPECT_EQ(reader.Directory(1).crop.right, 8);
  EXPECT_EQ(reader.outputWidth, 8);
  EXPECT_EQ(reader.outputHeight, 6);
}

// ---------------------------------------------------------------------------------------
// Storages

// Gradients, noise and both ends of the range, below 2^bits.
std::vector<uint16_t> StoredSamples(int w, int h, int bits) {
  std::vector<uint16_t> s(static_cast<size_t>(w) * h);
  const uint32_t max = (1u << bits) - 1;
  uint32_t seed = 12345;
  for (size_t i = 0; i < s.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const uint32_t x = static_cast<uint32_t>(i % w), y = static_cast<uint32_t>(i / w);
    uint32_t v = (x * 977 + y * 313) % (max + 1) + (seed >> 28);
    if ((seed >> 8) % 17 == 0) v = (seed >> 9) & 1 ? max : 0;
    s[i] = static_cast<uint16_t>(std::min(v, max));
  }
  return s;
}

// The same raw samples stored each way develop to the same image as when stored as
// uncompressed 16-bit samples, and decode to the samples themselves.
TEST(DngImageReader, EveryStorageDevelopsLikeItsSixteenBitTwin) {
  const int w = 40, h = 30;
  auto with = [](std::function<void(DngStorage&)> f) {
    DngStorage s;
    f(s);
    return s;
  };
  auto jpegTiles = [](DngStorage& s) {
    s.losslessJpeg = true;
    s.tileWidth = s.tileLength = 16;  // 3 x 2 tiles, the last column and row reaching past the image
  };
  std::vector<std::pair<std::string, DngStorage>> rows = {
      {"16-bit strips of 7 rows", with([](DngStorage& s) { s.rowsPerStrip = 7; })},
      {"16-bit big-endian", with([](DngStorage& s) { s.bigEndian = true; })},
      {"16-bit tiles", with([](DngStorage& s) { s.tileWidth = 32, s.tileLength = 16; })},
      {"8-bit", with([](DngStorage& s) { s.bits = 8; })},
      {"10-bit in strips of 4 rows", with([](DngStorage& s) { s.bits = 10, s.rowsPerStrip = 4; })},
      {"12-bit packed", with([](DngStorage& s) { s.bits = 12; })},
      {"14-bit packed in tiles", with([](DngStorage& s) { s.bits = 14, s.tileWidth = 16, s.tileLength = 16; })},
      {"12-bit big-endian tiles", with([](DngStorage& s) { s.bits = 12, s.bigEndian = true, s.tileWidth = s.tileLength = 16; })},
      {"lossless JPEG, one strip", with([](DngStorage& s) { s.losslessJpeg = true; })},
      {"lossless JPEG strips of 8 rows, restarts", with([](DngStorage& s) { s.losslessJpeg = true, s.rowsPerStrip = 8, s.restartLines = 2; })},
      {"lossless JPEG tiles, two components", with([&](DngStorage& s) { jpegTiles(s), s.shape = DngStorage::kHalfWidthTwoComponents; })},
      {"lossless JPEG tiles, twice as wide", with([&](DngStorage& s) { jpegTiles(s), s.shape = DngStorage::kDoubleWidthHalfHeight; })},
      {"lossless JPEG tiles, restarts, tables after the frame", with([&](DngStorage& s) { jpegTiles(s), s.restartLines = 1, s.tablesAfterFrame = true; })},
      {"lossless JPEG 12-bit big-endian tiles", with([&](DngStorage& s) { jpegTiles(s), s.bits = 12, s.bigEndian = true; })},
  };
  for (int p = 1; p <= 7; ++p)
    rows.push_back({"lossless JPEG tiles, predictor " + std::to_string(p), with([&](DngStorage& s) { jpegTiles(s), s.predictor = p; })});
  // A LinearizationTable: the twin holds the linear values.
  for (bool jpeg : {false, true})
    rows.push_back({jpeg ? "big-endian lossless JPEG 14-bit tiles, table" : "12-bit packed, table", with([&](DngStorage& s) {
                      if (jpeg) jpegTiles(s), s.bigEndian = true;
                      s.bits = jpeg ? 14 : 12;
                      for (uint32_t i = 0; i < (1u << s.bits); ++i)
                        s.linearization.push_back(static_cast<uint16_t>(i * i / ((1u << s.bits) - 1) * 65535 / ((1u << s.bits) - 1)));
                    })});
  for (const auto& [what, storage] : rows) {
    SCOPED_TRACE(what);
    const std::vector<uint16_t> stored = StoredSamples(w, h, storage.bits);
    std::vector<uint16_t> linear = stored;
    for (uint16_t& v : linear)
      if (!storage.linearization.empty()) v = storage.linearization[v];
    const DngBuilder dng(w, h, stored, storage), twin(w, h, linear);
    CDngImageReader reader;
    const std::vector<uint8_t> bytes = dng.Bytes();
    ASSERT_EQ(reader.OpenMemory(bytes.data(), bytes.size()), S_OK);
    CTypedImg<unsigned short> raw;
    ASSERT_EQ(reader.DecodeRawSamples(&raw), S_OK);
    for (int y = 0; y < h; ++y) ASSERT_TRUE(std::equal(stored.begin() + y * w, stored.begin() + (y + 1) * w, raw.Row(y))) << y;
    CImg image, expected;
    ASSERT_EQ(Develop(bytes, &image, kTypeRGB16), S_OK);
    ASSERT_EQ(Develop(twin.Bytes(), &expected, kTypeRGB16), S_OK);
    for (int y = 0; y < h; ++y) ASSERT_EQ(std::memcmp(image.RowPtr(y), expected.RowPtr(y), w * 6u), 0) << y;
  }
}

// ---------------------------------------------------------------------------------------
// Refused files

struct Refusal {
  const char* what;
  std::function<void(DngBuilder&)> change;
  HRESULT open;  // from Open
  HRESULT read;  // from ReadInto when Open succeeds
  const char* reason = nullptr;  // the words left for the caller, when the code's own are not enough
};

const uint8_t kSos[2] = {0xFF, 0xDA};

// A lossless JPEG frame of the base file's 8 x 6 samples (or of `rows` rows), put in its strip.
std::function<void(DngBuilder&)> JpegStrip(std::function<void(std::vector<uint8_t>&)> damage, int rows = 6) {
  return [=](DngBuilder& d) {
    test::LosslessJpegOptions o;
    o.width = 8;
    o.height = rows;
    const std::vector<uint16_t> samples(8 * rows, 1000);
    std::vector<uint8_t> frame = test::EncodeLosslessJpeg(samples.data(), o);
    damage(frame);
    d.RawIfd().Short(259, {7}).pieces[0] = frame;
  };
}

TEST(DngImageReader, RefusesFilesItCannotDevelop) {
  const std::vector<Refusal> cases = {
      {"no RowsPerStrip", [](DngBuilder& d) { d.RawIfd().Omit(278); }, E_KO_BADFORMAT, 0},
      {"no StripOffsets", [](DngBuilder& d) { d.RawIfd().Omit(273); }, E_KO_BADFORMAT, 0},
      {"no StripByteCounts", [](DngBuilder& d) { d.RawIfd().Omit(279); }, E_KO_BADFORMAT, 0},
      {"no ColorMatrix1", [](DngBuilder& d) { d.Ifd0().Remove(50721); }, S_OK, E_KO_BADFORMAT},
      {"ColorMatrix1 too short", [](DngBuilder& d) { d.Ifd0().SRational(50721, {1, 1, 0, 1}); }, S_OK, E_KO_BADFORMAT},
      {"no AsShotNeutral", [](DngBuilder& d) { d.Ifd0().Remove(50728); }, S_OK, E_KO_BADFORMAT},
      {"singular ColorMatrix1", [](DngBuilder& d) { d.Ifd0().SRational(50721, std::vector<int32_t>(18, 0)); }, S_OK,
       E_KO_BADFORMAT},
      {"zero neutral", [](DngBuilder& d) { d.Ifd0().Rational(50728, {0, 1, 0, 1, 0, 1}); }, S_OK, E_KO_BADFORMAT},
      {"zero denominator", [](DngBuilder& d) { d.Ifd0().Rational(50728, {1, 0, 1, 1, 1, 1}); }, S_OK, E_KO_BADFORMAT},
      {"WhiteLevel 0", [](DngBuilder& d) { d.RawIfd().Short(50717, {0}); }, S_OK, E_KO_BADFORMAT},
      {"lossy JPEG", [](DngBuilder& d) { d.RawIfd().Short(259, {34892}); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: lossy JPEG"},
      {"deflate", [](DngBuilder& d) { d.RawIfd().Short(259, {8}); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: deflate"},
      {"floating point", [](DngBuilder& d) { d.RawIfd().Short(339, {3}); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: floating-point samples"},
      {"linear DNG", [](DngBuilder& d) { d.RawIfd().Short(262, {34892}).Short(277, {3}); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: a linear (demosaiced) DNG"},
      {"CFA 2 x 4", [](DngBuilder& d) { d.RawIfd().Short(33421, {2, 4}); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: a colour filter array other than 2 x 2"},
      {"BitsPerSample 32", [](DngBuilder& d) { d.RawIfd().Short(258, {32}); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: 32-bit samples"},
      {"no BitsPerSample", [](DngBuilder& d) { d.RawIfd().Remove(258); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: 1-bit samples"},
      {"3 samples per pixel", [](DngBuilder& d) { d.RawIfd().Short(277, {3}); }, E_NOTIMPL, 0,
       "a DNG variant the reader does not support: more than one sample per pixel"},
      {"a Huffman code that does not exist",
       JpegStrip([](std::vector<uint8_t>& f) {  // stuffed 0xFF bytes: all ones, a code point no table uses
         const size_t scan = static_cast<size_t>(std::search(f.begin(), f.end(), kSos, kSos + 2) - f.begin()) + 10;
         f.resize(scan);
         for (int i = 0; i < 8; ++i) f.insert(f.end(), {0xFF, 0});
       }),
       S_OK, E_FAIL, "the file is truncated or corrupt: a Huffman code that does not exist"},
      {"a frame whose size disagrees", JpegStrip([](std::vector<uint8_t>&) {}, 5), S_OK, E_FAIL,
       "the file is truncated or corrupt: a frame whose size disagrees with its strip or tile"},
      {"lossless JPEG that ends early", JpegStrip([](std::vector<uint8_t>& f) { f.erase(f.end() - 6, f.end()); }), S_OK, E_FAIL,
       "the file is truncated or corrupt: data that ends early"},
      {"LinearizationTable too short", [](DngBuilder& d) { d.RawIfd().Short(50712, {0, 1, 2}); }, E_KO_BADFORMAT, 0,
       "the file is truncated or corrupt: a LinearizationTable shorter than the stored values reach"},
      {"a million tiles", [](DngBuilder& d) { d.RawIfd().Long(256, {1000}).Long(257, {1000}).Short(259, {7}).Long(322, {1}).Long(323, {1}); },
       E_KO_BADFORMAT, 0},
      {"too few tiles", [](DngBuilder& d) { d.RawIfd().Long(322, {4}).Long(323, {6}).Omit(273).Long(324, {8}).Long(325, {48}); },
       E_KO_BADFORMAT, 0},
      {"tile beyond the file", [](DngBuilder& d) { d.RawIfd().Long(322, {8}).Long(323, {6}).Omit(273).Long(324, {1u << 20}).Long(325, {96}); },
       E_UNEXPECTED, 0, "the file is truncated or corrupt: a strip or tile beyond the end of the file"},
      {"crop beyond the raw image", [](DngBuilder& d) { d.RawIfd().Long(50720, {9, 2}); }, E_KO_BADFORMAT, 0},
      {"crop origin beyond", [](DngBuilder& d) { d.RawIfd().Long(50719, {8, 0}); }, E_KO_BADFORMAT, 0},
      {"active area beyond", [](DngBuilder& d) { d.RawIfd().Short(50829, {0, 0, 7, 8}); }, E_KO_BADFORMAT, 0},
      {"active area inverted", [](DngBuilder& d) { d.RawIfd().Short(50829, {4, 0, 2, 8}); }, E_KO_BADFORMAT, 0},
      {"crop origin rational 1/0", [](DngBuilder& d) { d.RawIfd().Rational(50719, {1, 0, 0, 1}); }, E_KO_BADFORMAT, 0},
      {"no main image", [](DngBuilder& d) { d.RawIfd().Long(254, {1}); }, E_UNEXPECTED, 0},
      {"no width", [](DngBuilder& d) { d.RawIfd().Remove(256); }, E_KO_BADFORMAT, 0},
      {"too large", [](DngBuilder& d) { d.RawIfd().Long(256, {70000}).Long(257, {70000}); }, E_KO_BADFORMAT, 0},
      {"larger than the file", [](DngBuilder& d) { d.RawIfd().Long(256, {400}).Long(257, {300}); }, E_KO_BADFORMAT, 0},
      {"strip beyond the file", [](DngBuilder& d) { d.RawIfd().Long(273, {1u << 20}); }, E_UNEXPECTED, 0,
       "the file is truncated or corrupt: a strip or tile beyond the end of the file"},
      {"strip wrapping 32 bits", [](DngBuilder& d) { d.RawIfd().Long(273, {0xFFFFFFF0u}); }, E_UNEXPECTED, 0},
      {"strip count too small", [](DngBuilder& d) { d.RawIfd().Long(279, {8 * 6 * 2 - 1}); }, E_UNEXPECTED, 0,
       "the file is truncated or corrupt: a strip or tile shorter than its samples"},
      {"too few strips", [](DngBuilder& d) { d.RawIfd().Long(278, {1}); }, E_KO_BADFORMAT, 0},
      {"RowsPerStrip 0", [](DngBuilder& d) { d.RawIfd().Long(278, {0}); }, E_KO_BADFORMAT, 0},
      {"black repeat 0", [](DngBuilder& d) { d.RawIfd().Short(50713, {0, 2}); }, S_OK, E_KO_BADFORMAT},
      {"black repeat area past 2^63", [](DngBuilder& d) { d.RawIfd().Long(50713, {0xFFFFFFFFu, 0xFFFFFFFFu}); }, S_OK,
       E_KO_BADFORMAT},
      {"black levels missing", [](DngBuilder& d) { d.RawIfd().Short(50713, {2, 2}).Short(50714, {1, 2}); }, S_OK,
       E_KO_BADFORMAT},
      {"deltas missing", [](DngBuilder& d) { d.RawIfd().SRational(50715, {1, 1}); }, S_OK, E_KO_BADFORMAT},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    DngBuilder dng(8, 6, std::vector<uint16_t>(48, 1000));
    c.change(dng);
    CDngImageReader reader;
    CImg img;
    const HRESULT hr = Develop(dng.Bytes(), &img, kTypeRGBA16, &reader);
    if (c.open != S_OK) {
      EXPECT_EQ(hr, c.open);
      EXPECT_EQ(reader.outputWidth, 0);
      EXPECT_EQ(reader.DirectoryCount(), 0);
    } else {
      EXPECT_EQ(hr, c.read);
    }
    const std::string reason = ImageReadReason(hr, "x.dng");
    if (c.reason) {
      EXPECT_EQ(reason, c.reason);
    }
  }
}

TEST(DngImageReader, RefusesOtherByteOrdersAndNonTiffData) {
  DngBuilder dng(8, 6, std::vector<uint16_t>(48, 1000));
  std::vector<uint8_t> bytes = dng.Bytes();
  bytes[0] = bytes[1] = 'M';
  CImg img;
  EXPECT_EQ(Develop(bytes, &img), E_KO_BADFORMAT);
  EXPECT_EQ(Develop({}, &img), E_KO_BADFORMAT);
  EXPECT_EQ(Develop({'I', 'I', 42, 0, 200, 0, 0, 0}, &img), E_KO_BADFORMAT);
  std::vector<uint8_t> truncated = dng.Bytes();
  truncated.resize(truncated.size() - 20);  // into IFD 0's table
  EXPECT_EQ(Develop(truncated, &img), E_KO_BADFORMAT);
  CDngImageReader reader;
  EXPECT_EQ(reader.Open(nullptr), E_POINTER);
  EXPECT_EQ(reader.OpenMemory(nullptr, 4), E_POINTER);
}

TEST(DngImageReader, ReadIntoChecksTheCallersImage) {
  DngBuilder dng(8, 6, std::vector<uint16_t>(48, 1000));
  CDngImageReader reader;
  CImg notOpen;
  EXPECT_EQ(reader.ReadInto(&notOpen), E_UNEXPECTED);
  ASSERT_EQ(reader.OpenMemory(dng.Bytes().data(), dng.Bytes().size()), S_OK);
  EXPECT_EQ(reader.ReadInto(nullptr), E_POINTER);
  CImg wrongSize;
  ASSERT_EQ(wrongSize.Create(7, 6, 4, 1, kTypeRGBAByte, 0), S_OK);
  EXPECT_EQ(reader.ReadInto(&wrongSize), E_INVALIDARG);
  CImg floats;
  ASSERT_EQ(floats.Create(8, 6, 4, 4, kTypeRGBAFloat, 0), S_OK);
  EXPECT_EQ(reader.ReadInto(&floats), E_INVALIDARG);
  CImg threeBands;  // says RGBA but holds three bytes a pixel
  ASSERT_EQ(threeBands.Create(8, 6, 3, 1, kTypeRGBAByte, 0), S_OK);
  EXPECT_EQ(reader.ReadInto(&threeBands), E_INVALIDARG);
  CImg empty;
  EXPECT_EQ(reader.ReadInto(&empty), E_INVALIDARG);
  CImg right;
  ASSERT_EQ(right.Create(8, 6, 3, 2, kTypeRGB16, 0), S_OK);
  EXPECT_EQ(reader.ReadInto(&right), S_OK);
}

TEST(DngImageReader, AllocationFailuresAreReportedAsOutOfMemory) {
  DngBuilder dng(8, 6, std::vector<uint16_t>(48, 1000));
  const std::vector<uint8_t> bytes = dng.Bytes();
  bool succeeded = false;
  for (int n = 0; n < 2000 && !succeeded; ++n) {
    CDngImageReader reader;
    CImg img;
    HRESULT hr;
    {
      ScopedAllocFailure fail(n);
      hr = Develop(bytes, &img, kTypeRGBA16, &reader);
    }
    if (hr == S_OK) succeeded = true;
    else ASSERT_EQ(hr, E_OUTOFMEMORY) << "failing allocation " << n;
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
}  // namespace ko
