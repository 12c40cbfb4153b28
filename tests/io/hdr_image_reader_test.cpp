#include "ko/io/hdr_image_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/obj_file_util.h"
#include "ko/io/image_file_reader.h"
#include "ko/platform/memory.h"

using namespace ko;

namespace {

using Bytes = std::vector<uint8_t>;
using Pixel = std::array<uint8_t, 4>;  // R, G, B, E as stored

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Header(const std::string& resolution, const std::string& extra = "") {
  return Text("#?RADIANCE\n" + extra + "FORMAT=32-bit_rle_rgbe\n\n" + resolution + "\n");
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
void AppendPixels(Bytes& out, const std::vector<Pixel>& pixels) {
  for (const Pixel& p : pixels) out.insert(out.end(), p.begin(), p.end());
}

// The reference rule, computed independently of the reader: (m + 0.5) * 2^(e - 136).
float Expected(uint8_t m, uint8_t e) { return e == 0 ? 0.0f : static_cast<float>(std::ldexp(m + 0.5, e - 136)); }

// Blue, green, red, alpha of the image at (x, y).
std::array<float, 4> At(const CImg& image, int x, int y) {
  std::array<float, 4> v;
  std::memcpy(v.data(), image.BandPtr(x, y, 0), 16);
  return v;
}

void ExpectPixel(const CImg& image, int x, int y, const Pixel& p) {
  const auto v = At(image, x, y);
  EXPECT_EQ(v[0], Expected(p[2], p[3])) << x << "," << y;
  EXPECT_EQ(v[1], Expected(p[1], p[3])) << x << "," << y;
  EXPECT_EQ(v[2], Expected(p[0], p[3])) << x << "," << y;
  EXPECT_EQ(v[3], 255.0f) << x << "," << y;
}

// A distinct pixel for the k-th pixel in file order.
Pixel Numbered(int k) { return {static_cast<uint8_t>(k + 1), static_cast<uint8_t>(2 * k), 7, 136}; }

HRESULT Decode(const Bytes& file, CImg* image, int32_t flags = 0) {
  return ReadHdrImageFromMemory(file.data(), file.size(), image, flags);
}

// A naive encoder of the newer scanline form, written from the format's description.
Bytes EncodePerComponent(const std::vector<Pixel>& pixels) {
  const int n = static_cast<int>(pixels.size());
  Bytes out = {2, 2, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
  for (int c = 0; c < 4; ++c) {
    int i = 0;
    while (i < n) {
      int run = 1;
      while (i + run < n && run < 127 && pixels[i + run][c] == pixels[i][c]) ++run;
      if (run >= 3) {
        out.push_back(static_cast<uint8_t>(128 + run));
        out.push_back(pixels[i][c]);
        i += run;
        continue;
      }
      int dump = 0;
      while (i + dump < n && dump < 128) {
        if (i + dump + 2 < n && pixels[i + dump][c] == pixels[i + dump + 1][c] &&
            pixels[i + dump][c] == pixels[i + dump + 2][c])
          break;
        ++dump;
      }
      out.push_back(static_cast<uint8_t>(dump));
      for (int k = 0; k < dump; ++k) out.push_back(pixels[i + k][c]);
      i += dump;
    }
  }
  return out;
}

TEST(HdrHeaderLine, LineEndsBlanksAndLongLines) {
  Bytes data = Text("  \tab c\r\nxyz");
  data.insert(data.end(), 70000, 'q');
  Append(data, Text("\n"));
  CHdrInput in(data.data(), data.size());
  std::vector<char> line(kHdrMaxLineLength + 1);
  size_t n = 0;
  ASSERT_TRUE(ReadHeaderLine(in, line.data(), &n));
  EXPECT_EQ(std::string(line.data(), n), "ab c");
  ASSERT_TRUE(ReadHeaderLine(in, line.data(), &n));  // the LF after a CR is a line of its own
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(ReadHeaderLine(in, line.data(), &n));
  EXPECT_EQ(n, kHdrMaxLineLength);
  EXPECT_EQ(std::string(line.data(), 3), "xyz");
  // 70003 characters: 65535 returned, one dropped, the rest is the next line.
  ASSERT_TRUE(ReadHeaderLine(in, line.data(), &n));
  EXPECT_EQ(n, 70003u - kHdrMaxLineLength - 1);
  EXPECT_FALSE(ReadHeaderLine(in, line.data(), &n));
}

TEST(HdrHeader, MagicLineAndFormat) {
  const Bytes pixels(4 * 2, 136);
  auto file = [&](const std::string& head) {
    Bytes f = Text(head);
    Append(f, pixels);
    return f;
  };
  CImg image;
  EXPECT_EQ(Decode(file("garbage\n  #?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n"), &image), S_OK);
  EXPECT_EQ(Decode(file("#?RADIANCE2\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE \nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE\r\nFORMAT=32-bit_rle_rgbe\r\n\r\n-Y 1 +X 2\r\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 1 +X 2\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE\nFORMAT\n\n-Y 1 +X 2\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE\nEXPOSURE=1\n\n-Y 1 +X 2\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 X 2\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(file("no magic at all"), &image), E_KO_BADFORMAT);
  // The encoding may stand anywhere in the FORMAT line; lines after it are not checked.
  EXPECT_EQ(Decode(file("#?RADIANCE\nFORMATS: 32-bit_rle_rgbe\nFORMAT=bad\n\n-Y 1 +X 2\n"), &image), S_OK);

}

TEST(HdrHeader, HostileSizes) {
  CImg image;
  // Refused before the image is created: 12000 x 12000 would still fit a 32-bit byte
  // count (2.3 GB) but exceeds the reader's pixel cap.
  EXPECT_EQ(Decode(Header("-Y 12000 +X 12000"), &image), E_OUTOFMEMORY);
  EXPECT_EQ(Decode(Header("-Y 2147483648 +X 2147483648"), &image), E_OUTOFMEMORY);
  EXPECT_EQ(Decode(Header("-Y 99999999999999999999 +X 1"), &image), E_OUTOFMEMORY);
  EXPECT_FALSE(image.HasMemory());
  EXPECT_EQ(Decode(Header("-Y 0 +X 5"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(Header("-Y -3 +X 5"), &image), E_KO_BADFORMAT);
  // A token that ends the line has no number after it.
  EXPECT_EQ(Decode(Header("+X 5 -Y"), &image), E_KO_BADFORMAT);
  EXPECT_EQ(Decode(Header("-Y2 +X 5"), &image), E_KO_BADFORMAT);  // the separator is skipped blindly
  EXPECT_FALSE(image.HasMemory());

  SHdrLayout layout;
  const Bytes h = Header("+Y 5 -Y 6 -X 7 +X 8");
  CHdrInput in(h.data(), h.size());
  ASSERT_EQ(ParseHdrHeader(in, nullptr, &layout), S_OK);
  EXPECT_EQ(layout.height, 6);  // "-Y" wins over "+Y", "-X" over "+X"
  EXPECT_EQ(layout.width, 7);
  EXPECT_TRUE(layout.topDown);
  EXPECT_FALSE(layout.leftToRight);
}

TEST(HdrPixels, RgbeValues) {
  Bytes file = Header("-Y 1 +X 2");
  AppendPixels(file, {{128, 64, 0, 129}, {200, 100, 50, 0}});
  CImg image;
  ASSERT_EQ(Decode(file, &image), S_OK);
  EXPECT_EQ(image.type, kTypeRGBAFloat);
  EXPECT_EQ(image.bands, 4);
  EXPECT_EQ(image.elementSize, 4);
  const auto v = At(image, 0, 0);
  EXPECT_EQ(v[2], 1.00390625f);  // red
  EXPECT_EQ(v[1], 0.50390625f);
  EXPECT_EQ(v[0], 0.00390625f);
  EXPECT_EQ(v[3], 255.0f);
  const auto zero = At(image, 1, 0);
  EXPECT_EQ(zero[0], 0.0f);
  EXPECT_EQ(zero[1], 0.0f);
  EXPECT_EQ(zero[2], 0.0f);
  EXPECT_EQ(zero[3], 255.0f);
  // The extremes of the exponent stay exact.
  EXPECT_EQ(RgbeComponentToFloat(0, 1), std::ldexp(1.0f, -136));
  EXPECT_EQ(RgbeComponentToFloat(255, 255), std::ldexp(255.5f, 119));
}

// Every orientation, against positions worked out by hand from the file order.
TEST(HdrPixels, Orientations) {
  struct Case {
    const char* resolution;
    int order[6];  // file order of the pixels at (0,0) (1,0) (2,0) (0,1) (1,1) (2,1)
  };
  const Case cases[] = {
      {"-Y 2 +X 3", {0, 1, 2, 3, 4, 5}},
      {"+Y 2 +X 3", {3, 4, 5, 0, 1, 2}},
      {"-Y 2 -X 3", {2, 1, 0, 5, 4, 3}},
      {"+Y 2 -X 3", {5, 4, 3, 2, 1, 0}},
      {"+X 3 -Y 2", {0, 2, 4, 1, 3, 5}},  // scanlines are columns, top to bottom
      {"+X 3 +Y 2", {1, 3, 5, 0, 2, 4}},
      {"-X 3 -Y 2", {4, 2, 0, 5, 3, 1}},
      {"-X 3 +Y 2", {5, 3, 1, 4, 2, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.resolution);
    Bytes file = Header(c.resolution);
    for (int k = 0; k < 6; ++k) AppendPixels(file, {Numbered(k)});
    CImg image;
    ASSERT_EQ(Decode(file, &image), S_OK);
    ASSERT_EQ(image.width, 3);
    ASSERT_EQ(image.height, 2);
    for (int i = 0; i < 6; ++i) ExpectPixel(image, i % 3, i / 3, Numbered(c.order[i]));
  }
}

TEST(HdrScanlines, PerComponentMatchesItsEncoding) {
  std::mt19937 random(7);
  const int width = 300, height = 3;
  std::vector<Pixel> pixels(width * height);
  for (int i = 0; i < width * height; ++i) {
    // Long stretches of equal values for runs, noise for dumps.
    const bool flat = (i / 40) % 2 == 0;
    pixels[i] = {static_cast<uint8_t>(flat ? 10 : random()), static_cast<uint8_t>(flat ? 20 : random() % 4),
                 static_cast<uint8_t>(random() % 2), static_cast<uint8_t>(flat ? 130 : 120 + random() % 20)};
  }
  Bytes file = Header("-Y 3 +X 300");
  for (int y = 0; y < height; ++y)
    Append(file, EncodePerComponent({pixels.begin() + y * width, pixels.begin() + (y + 1) * width}));
  CImg image;
  ASSERT_EQ(Decode(file, &image), S_OK);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) ExpectPixel(image, x, y, pixels[y * width + x]);
}

TEST(HdrScanlines, RunsAndDumpsCutAtTheScanlineEnd) {
  Bytes file = Header("-Y 2 +X 8");
  Append(file, {2, 2, 0, 8});
  Append(file, {128 + 100, 5});                          // R: a run of 100 cut to 8
  Append(file, {10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});     // G: a dump of 10, 2 dropped
  Append(file, {0, 128 + 8, 9});                         // B: an empty code, then a run
  Append(file, {128 + 4, 136, 128 + 4, 137});            // E
  AppendPixels(file, std::vector<Pixel>(8, Pixel{1, 2, 3, 140}));  // row 1, flat
  CImg image;
  ASSERT_EQ(Decode(file, &image), S_OK);
  for (int x = 0; x < 8; ++x) {
    ExpectPixel(image, x, 0, {5, static_cast<uint8_t>(x + 1), 9, static_cast<uint8_t>(x < 4 ? 136 : 137)});
    ExpectPixel(image, x, 1, {1, 2, 3, 140});
  }
  // A per-component length that is not the width.
  Bytes bad = Header("-Y 1 +X 8");
  Append(bad, {2, 2, 0, 9});
  EXPECT_EQ(Decode(bad, &image), E_KO_BADFORMAT);
}

TEST(HdrScanlines, OlderStyleRepeatMarkers) {
  CImg image;
  {
    // 2, 2 at the start of a 7-pixel scanline is an ordinary pixel.
    Bytes file = Header("-Y 1 +X 7");
    std::vector<Pixel> pixels;
    for (int k = 0; k < 7; ++k) pixels.push_back({2, 2, static_cast<uint8_t>(k), 136});
    AppendPixels(file, pixels);
    ASSERT_EQ(Decode(file, &image), S_OK);
    for (int x = 0; x < 7; ++x) ExpectPixel(image, x, 0, pixels[x]);
  }
  {
    // Width 10: a first pixel starting with 2 that is no newer-style marker, then markers:
    // 3 copies, a second marker in a row counting 1 << 8 (cut to what is left).
    Bytes file = Header("-Y 2 +X 10");
    AppendPixels(file, {{2, 3, 200, 130}, {1, 1, 1, 3}, {9, 9, 9, 131}, {1, 1, 1, 1}, {1, 1, 1, 1}});
    // Row 1 starts with a marker: it repeats the last pixel of row 0.
    AppendPixels(file, {{1, 1, 1, 2}, {4, 4, 4, 132}});
    AppendPixels(file, {{1, 1, 1, 0}, {1, 1, 1, 255}});  // a zero count, then 255 << 8
    ASSERT_EQ(Decode(file, &image), S_OK);
    const Pixel a{2, 3, 200, 130}, b{9, 9, 9, 131}, c{4, 4, 4, 132};
    const Pixel row0[10] = {a, a, a, a, b, b, b, b, b, b};
    const Pixel row1[10] = {b, b, c, c, c, c, c, c, c, c};
    for (int x = 0; x < 10; ++x) {
      ExpectPixel(image, x, 0, row0[x]);
      ExpectPixel(image, x, 1, row1[x]);
    }
  }
  {
    // Many markers in a row: the count's shift stays bounded (ten empty markers would
    // shift by 80) and the run ends at the scanline's end.
    Bytes file = Header("-Y 1 +X 40000");
    AppendPixels(file, {{3, 3, 3, 133}});
    for (int k = 0; k < 10; ++k) AppendPixels(file, {{1, 1, 1, 0}});
    AppendPixels(file, {{1, 1, 1, 1}});
    ASSERT_EQ(Decode(file, &image), S_OK);
    ExpectPixel(image, 1, 0, {3, 3, 3, 133});
    ExpectPixel(image, 39999, 0, {3, 3, 3, 133});
  }
  // A repeat marker as the very first pixel has nothing to repeat.
  Bytes first = Header("-Y 1 +X 3");
  AppendPixels(first, {{1, 1, 1, 2}, {5, 5, 5, 5}});
  EXPECT_EQ(Decode(first, &image), E_KO_BADFORMAT);
}

// The data ends inside a scanline: the rows before it are kept, the rest is zero.
TEST(HdrScanlines, EarlyEndsKeepEarlierRows) {
  const std::vector<Pixel> row0(8, Pixel{50, 60, 70, 135});
  auto withRow0 = [&](const Bytes& tail) {
    Bytes file = Header("-Y 3 +X 8");
    AppendPixels(file, row0);
    Append(file, tail);
    return file;
  };
  const Bytes tails[] = {
      {},                          // no byte of the next scanline
      {2},                         // inside the marker
      {2, 2, 0},                   // inside the marker
      {2, 2, 0, 8},                // before a code
      {2, 2, 0, 8, 128 + 8},       // in a run's value byte
      {2, 2, 0, 8, 8, 1, 2, 3},    // inside a dump
      {2, 2, 0, 8, 128 + 8, 1, 128 + 8, 2, 128 + 8, 3, 128 + 7, 4},  // E short by one pixel
      {9, 9, 9, 136, 1, 1},        // inside an older-style pixel
  };
  for (const Bytes& tail : tails) {
    SCOPED_TRACE(testing::PrintToString(tail));
    CImg image;
    EXPECT_EQ(Decode(withRow0(tail), &image), E_KO_BADFORMAT);
    ASSERT_TRUE(image.HasMemory());
    for (int x = 0; x < 8; ++x) {
      ExpectPixel(image, x, 0, row0[x]);
      for (int y = 1; y < 3; ++y) {
        const auto v = At(image, x, y);
        EXPECT_EQ(v[0] + v[1] + v[2] + v[3], 0.0f);
      }
    }
  }
}

TEST(HdrProperties, VariablesBeforeTheFormatLine) {
  Bytes file = Text(
      "#?RADIANCE\nEXPOSURE=1.5\nSOFTWARE= a b=c\n=ignored\nnoequals\n"
      "FORMAT=32-bit_rle_rgbe\nGAMMA=2.2\n\n-Y 1 +X 1\n");
  AppendPixels(file, {{1, 2, 3, 136}});
  CImg image;
  ASSERT_EQ(Decode(file, &image, 1), S_OK);
  const CParamValue* value = nullptr;
  ASSERT_EQ(image.params.GetByName(&value, u"EXPOSURE", 0), S_OK);
  EXPECT_EQ(value->kind, kParamString);
  EXPECT_STREQ(static_cast<const char*>(value->data), "1.5");
  ASSERT_EQ(image.params.GetByName(&value, u"SOFTWARE", 0), S_OK);
  EXPECT_STREQ(static_cast<const char*>(value->data), " a b=c");  // split at the first '='
  EXPECT_EQ(image.params.GetByName(&value, u"GAMMA", 0), S_FALSE);
  EXPECT_EQ(image.params.entryCount, 2);

  CImg plain;
  ASSERT_EQ(Decode(file, &plain, 0x100), S_OK);  // only the low byte asks for properties
  EXPECT_EQ(plain.params.entryCount, 0);

  // A key the property set refuses is skipped; the picture and the other keys still load.
  Bytes badKey = Text("#?RADIANCE\nPIXEL ASPECT=1\nEXPOSURE=3\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n");
  AppendPixels(badKey, {{1, 2, 3, 136}});
  CImg kept;
  EXPECT_EQ(Decode(badKey, &kept, 1), S_OK);
  EXPECT_EQ(kept.params.entryCount, 1);
  EXPECT_EQ(kept.params.GetByName(&value, u"EXPOSURE", 0), S_OK);
}

class HdrFileTest : public ::testing::Test {
 protected:
  ko_test::TempDir dir_;
};

TEST_F(HdrFileTest, ReaderAndLoadingEntry) {
  Bytes file = Header("-Y 2 +X 3", "EXPOSURE=2\n");
  for (int k = 0; k < 6; ++k) AppendPixels(file, {Numbered(k)});
  const std::string path = dir_.Path("scan.HDR");
  ko_test::WriteBytes(path, file);
  const std::u16string name = ko_test::Wide(path);

  CHdrImageReader reader;
  EXPECT_EQ(reader.Open(ko_test::Wide(dir_.Path("missing.hdr")).c_str()), E_KO_NOTFOUND);
  ASSERT_EQ(reader.Open(name.c_str()), S_OK);
  EXPECT_EQ(reader.width, 3);
  EXPECT_EQ(reader.height, 2);
  EXPECT_EQ(reader.sourceElementType, kElemFloat);
  EXPECT_EQ(reader.sourceBands, 4);
  EXPECT_EQ(reader.sourceFormatFlags, 0x10000);

  // The caller's byte colour image comes back as 4-band float, with the file's variables
  // and its name.
  CCompositeImg<RGBAType<unsigned char>> image;
  ASSERT_EQ(LoadImageFile(name.c_str(), &image, 1, -1), S_OK);
  EXPECT_EQ(image.type, kTypeRGBAFloat);
  EXPECT_EQ(image.elementSize, 4);
  for (int i = 0; i < 6; ++i) ExpectPixel(image, i % 3, i / 3, Numbered(i));
  const CParamValue* value = nullptr;
  EXPECT_EQ(image.params.GetByName(&value, u"EXPOSURE", 0), S_OK);
  ASSERT_EQ(image.params.GetByName(&value, u"Filename", 0), S_OK);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(value->data)), name);

  // The file changed size between Open and ReadInto: refused, not overrun.
  ko_test::WriteBytes(path, Header("-Y 200 +X 300"));
  CImg other;
  EXPECT_EQ(reader.ReadInto(&other, 0), E_KO_BADFORMAT);

  CHdrImageReader unopened;
  EXPECT_EQ(unopened.ReadInto(&other, 0), E_POINTER);
}

TEST(HdrAllocation, FailuresAreReported) {
  Bytes file = Header("-Y 2 +X 3", "EXPOSURE=2\n");
  for (int k = 0; k < 6; ++k) AppendPixels(file, {Numbered(k)});
  bool sawSuccess = false;
  for (int n = 0; n < 30 && !sawSuccess; ++n) {
    CImg image;
    HRESULT hr;
    {
      ScopedAllocFailure failure(n);
      hr = Decode(file, &image, 1);
    }
    if (hr == S_OK)
      sawSuccess = true;
    else
      EXPECT_EQ(hr, E_OUTOFMEMORY) << n;
  }
  EXPECT_TRUE(sawSuccess);
}

}  // namespace
