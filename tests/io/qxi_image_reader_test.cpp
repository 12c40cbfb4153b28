#include "ko/io/qxi_image_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "reader_test_util.h"

namespace {

using ko::CImg;
using ko::CQxiImageReader;
using ko::CTypedImg;
using ko::HRESULT;
using raw_test::FloatBytes;
using raw_test::HexText;

struct QxiResult {
  HRESULT open = 0;
  HRESULT read = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t elementType = 0;
  int32_t bands = 0;
  int32_t formatFlags = 0;
};

QxiResult ReadQxi(const std::string& bytes, CImg* image) {
  CQxiImageReader reader;
  reader.UseMemory(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  QxiResult r;
  r.open = reader.Open(u"memory.qxi");
  r.width = reader.width;
  r.height = reader.height;
  r.elementType = reader.sourceElementType;
  r.bands = reader.sourceBands;
  r.formatFlags = reader.sourceFormatFlags;
  r.read = reader.ReadInto(image, 1);
  return r;
}

std::vector<float> Ramp(size_t n, float start = 0.5f) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = start + static_cast<float>(i) * 1.25f;
  return v;
}

std::vector<float> Pixels(const CImg& image) {
  std::vector<float> out;
  for (int32_t y = 0; y < image.height; ++y) {
    const float* row = reinterpret_cast<const float*>(image.RowPtr(y));
    out.insert(out.end(), row, row + image.width * image.bands);
  }
  return out;
}

TEST(QxiReader, BinaryFloatBands) {
  const std::vector<float> values = Ramp(4 * 3);
  CTypedImg<float> image;
  const QxiResult r = ReadQxi("1 4 10 20 14 23 1 0 0x185\n" + FloatBytes(values), &image);
  ASSERT_EQ(r.open, 0);
  EXPECT_EQ(r.width, 4);
  EXPECT_EQ(r.height, 3);
  EXPECT_EQ(r.elementType, ko::kElemFloat);
  EXPECT_EQ(r.bands, 1);
  EXPECT_EQ(r.formatFlags, 0);
  ASSERT_EQ(r.read, 0);
  EXPECT_EQ(image.type, ko::kElemFloat);
  EXPECT_EQ(image.bands, 1);
  EXPECT_EQ(image.width * image.pixelSize, 16);
  EXPECT_EQ(Pixels(image), values);

  const std::vector<float> three = Ramp(4 * 3 * 3);
  ASSERT_EQ(ReadQxi("1 4 10 20 14 23 3 0 0x185\n" + FloatBytes(three), &image).read, 0);
  EXPECT_EQ(image.bands, 3);
  EXPECT_EQ(image.width * image.pixelSize, 48);
  EXPECT_EQ(Pixels(image), three);
}

TEST(QxiReader, RgbaFloatPixelsReplaceTheCallersType) {
  const std::vector<float> values = Ramp(2 * 2 * 4, -3.0f);
  ko::CCompositeImg<ko::RGBAType<unsigned char>> image;
  for (const char* kind : {"0x285", "285", "0X285"}) {
    const QxiResult r = ReadQxi(std::string("1 4 0 0 2 2 1 7 ") + kind + "\n" + FloatBytes(values), &image);
    ASSERT_EQ(r.open, 0) << kind;
    EXPECT_EQ(r.bands, 4);
    EXPECT_EQ(r.formatFlags, 0x10000);
    ASSERT_EQ(r.read, 0) << kind;
    EXPECT_EQ(image.type, ko::kTypeRGBAFloat);
    EXPECT_EQ(image.bands, 4);
    EXPECT_EQ(image.elementSize, 4);
    EXPECT_EQ(Pixels(image), values);
  }
  CTypedImg<float> other;
  EXPECT_EQ(ReadQxi("1 4 0 0 2 2 2 0 0x285\n" + FloatBytes(Ramp(32)), &other).read, ko::E_INVALIDARG);
  EXPECT_FALSE(other.HasMemory());
}

TEST(QxiReader, HexadecimalBody) {
  const std::vector<float> values = {1.0f, -2.5f, 3.14159f, 1e-30f, 0.0f, 65504.0f};
  CTypedImg<float> image;
  // Pairs may be separated by any white space, rows need no line breaks.
  std::string hex = HexText(FloatBytes(values));
  hex.replace(hex.find(' '), 1, "\n\t ");
  ASSERT_EQ(ReadQxi("0 4 0 0 3 2 1 0 185\n" + hex, &image).read, 0);
  EXPECT_EQ(Pixels(image), values);
}

TEST(QxiReader, UpperCaseHexDigitsCountByTheirCharacterCode) {
  CTypedImg<float> image;
  ASSERT_EQ(ReadQxi("0 4 0 0 1 1 1 0 0x185\n3f 3F A0 00", &image).read, 0);
  const uint8_t* p = image.RowPtr(0);
  EXPECT_EQ(p[0], 0x3F);
  EXPECT_EQ(p[1], 0x46);  // 'F' counts 70 - 48 = 22
  EXPECT_EQ(p[2], 0x10);  // 'A' counts 17: 17 * 16 + 0 = 272, truncated to 8 bits
  EXPECT_EQ(p[3], 0x00);
}

TEST(QxiReader, ExactlyOneCharacterEndsTheHeader) {
  // The blank before the line break is the one character consumed: the line break is the
  // first byte of the body.
  const std::string body = "\n" + FloatBytes({2.0f}).substr(0, 3);
  CTypedImg<float> image;
  ASSERT_EQ(ReadQxi("1 4 0 0 1 1 1 0 0x185 " + body, &image).read, 0);
  uint8_t expected[4] = {'\n', 0, 0, 0};
  std::memcpy(expected + 1, FloatBytes({2.0f}).data(), 3);
  EXPECT_EQ(std::memcmp(image.RowPtr(0), expected, 4), 0);
}

TEST(QxiReader, ShortBodiesFail) {
  const std::string header1 = "1 4 0 0 2 2 1 0 0x185\n";
  const std::string header0 = "0 4 0 0 2 2 1 0 0x185\n";
  const std::string bytes = FloatBytes({1, 2, 3, 4});
  CTypedImg<float> image;
  EXPECT_EQ(ReadQxi(header1 + bytes.substr(0, 15), &image).read, ko::E_FAIL);
  EXPECT_FALSE(image.HasMemory());  // refused before anything was allocated
  EXPECT_EQ(ReadQxi(header1, &image).read, ko::E_FAIL);
  EXPECT_EQ(ReadQxi(header0 + HexText(bytes).substr(0, 30), &image).read, ko::E_FAIL);
  // Enough characters to pass the size check thanks to the white space, but the body ends
  // inside the last pair, or before it.
  std::string spaced = HexText(bytes);
  for (size_t at = spaced.find(' '); at != std::string::npos; at = spaced.find(' ', at + 4)) spaced.insert(at, "   ");
  EXPECT_EQ(ReadQxi(header0 + spaced.substr(0, spaced.size() - 1), &image).read, ko::E_FAIL);
  EXPECT_EQ(ReadQxi(header0 + spaced.substr(0, spaced.size() - 2), &image).read, ko::E_FAIL);
  // A longer body is fine.
  EXPECT_EQ(ReadQxi(header1 + bytes + "extra", &image).read, 0);
}

TEST(QxiReader, HeadersThatAreRefused) {
  const std::string body = FloatBytes({1, 2, 3, 4});
  struct Case {
    const char* header;
    HRESULT open;
    HRESULT read;
  };
  for (const Case c : {
           Case{"2 4 0 0 2 2 1 0 0x185\n", ko::E_FAIL, ko::E_FAIL},   // version
           Case{"-1 4 0 0 2 2 1 0 0x185\n", ko::E_FAIL, ko::E_FAIL},  // version
           Case{"1 8 0 0 2 2 1 0 0x185\n", ko::E_FAIL, ko::E_FAIL},   // element size
           Case{"1 2 0 0 2 2 1 0 0x185\n", ko::E_FAIL, ko::E_FAIL},   // element size
           Case{"1 4 0 0 2 2 1 0 0x186\n", ko::E_FAIL, ko::E_FAIL},   // kind
           Case{"1 4 0 0 2 2 1 0\n", ko::E_FAIL, ko::E_FAIL},         // eight fields
           Case{"1 4 0 0 2 2 1 0 0x\n", ko::E_FAIL, ko::E_FAIL},      // no kind digits
           Case{"1 4 0 0 2 2 1 0 0x1850000000\n", ko::E_FAIL, ko::E_FAIL},
           Case{"1 4 0 0 2 2 1 z 0x185\n", ko::E_FAIL, ko::E_FAIL},
           Case{"1 4 -2147483648 0 2147483647 2 1 0 0x185\n", ko::E_FAIL, ko::E_FAIL},  // width overflows
           Case{"1 4 5 0 5 2 1 0 0x185\n", 0, ko::E_INVALIDARG},      // width 0
           Case{"1 4 0 5 2 0 1 0 0x185\n", 0, ko::E_INVALIDARG},      // height -5
           Case{"1 4 0 0 2 2 0 0 0x185\n", 0, ko::E_INVALIDARG},      // no bands
           Case{"1 4 0 0 100000 100000 1 0 0x185\n", 0, ko::E_FAIL},  // far more than the file holds
           Case{"", ko::E_FAIL, ko::E_FAIL},
       }) {
    CTypedImg<float> image;
    const QxiResult r = ReadQxi(c.header + body, &image);
    EXPECT_EQ(r.open, c.open) << c.header;
    EXPECT_EQ(r.read, c.read) << c.header;
    EXPECT_FALSE(image.HasMemory()) << c.header;
  }
  // An unknown kind still reports the size.
  CTypedImg<float> image;
  const QxiResult r = ReadQxi("1 4 1 1 4 6 1 0 0x99\n", &image);
  EXPECT_EQ(r.width, 3);
  EXPECT_EQ(r.height, 5);
}

TEST(QxiReader, ReadsFilesByName) {
  raw_test::ScratchDir dir;
  const std::vector<float> values = Ramp(6);
  const std::string path = dir.Write("img\xc3\xa9.qxi", "1 4 0 0 3 2 1 0 0x185\n" + FloatBytes(values));
  CQxiImageReader reader;
  ASSERT_EQ(reader.Open(raw_test::Wide(path).c_str()), 0);
  CTypedImg<float> image;
  ASSERT_EQ(reader.ReadInto(&image, 0), 0);
  EXPECT_EQ(Pixels(image), values);
  // A body larger than the reader's buffer, in both forms.
  const std::vector<float> many = Ramp(150 * 40);
  for (const std::string& content : {"1 4 0 0 150 40 1 0 0x185\n" + FloatBytes(many),
                                     "0 4 0 0 150 40 1 0 0x185\n" + HexText(FloatBytes(many))}) {
    CQxiImageReader big;
    ASSERT_EQ(big.Open(raw_test::Wide(dir.Write("big.qxi", content)).c_str()), 0);
    ASSERT_EQ(big.ReadInto(&image, 0), 0);
    EXPECT_EQ(Pixels(image), many);
  }
  CQxiImageReader missing;
  EXPECT_EQ(missing.Open(raw_test::Wide(dir.Path("none.qxi")).c_str()), ko::E_FAIL);
  EXPECT_EQ(missing.ReadInto(&image, 0), ko::E_FAIL);
}

// A pipe cannot tell its size in advance: the body is checked row by row instead.
TEST(QxiReader, ShortBodyFromAPipeKeepsTheRowsReadAndZeroesTheRest) {
  raw_test::ScratchDir dir;
  const std::string fifo = dir.Path("pipe.qxi");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string header = "1 4 0 0 2 3 1 0 0x185\n";
  const std::string content = header + FloatBytes({1, 2, 3});  // a row and a half of three
  // Open and ReadInto each open the pipe once; each gets its own writer, one after the
  // other, so that no data is written while the previous reader is still closing.
  auto feed = [&] {
    std::ofstream out(fifo, std::ios::binary);
    out << content;
  };
  std::thread first(feed);
  CQxiImageReader reader;
  const HRESULT open = reader.Open(raw_test::Wide(fifo).c_str());
  first.join();
  CTypedImg<float> image;
  ASSERT_EQ(image.Create(2, 3, 1, 0), 0);
  const float junk = 99.0f;
  image.Fill(&junk, nullptr, -1, true);
  std::thread second(feed);
  const HRESULT read = reader.ReadInto(&image, 0);
  second.join();
  EXPECT_EQ(open, 0);
  EXPECT_EQ(read, ko::E_FAIL);
  EXPECT_EQ(Pixels(image), (std::vector<float>{1, 2, 3, 0, 0, 0}));
}

}  // namespace
