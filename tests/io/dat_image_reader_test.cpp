#include "ko/io/dat_image_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reader_test_util.h"

namespace {

using ko::CDatImageReader;
using ko::CImg;
using ko::CTypedImg;
using ko::HRESULT;

struct DatResult {
  HRESULT open = 0;
  HRESULT read = 0;
  int32_t openWidth = 0;
  int32_t openHeight = 0;
};

DatResult ReadDat(const std::string& text, CImg* image) {
  CDatImageReader reader;
  reader.UseMemory(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  DatResult r;
  r.open = reader.Open(u"memory.dat");
  r.openWidth = reader.width;
  r.openHeight = reader.height;
  r.read = reader.ReadInto(image, 1);
  return r;
}

template <class T>
std::vector<T> Row(const CImg& image, int32_t y) {
  const T* p = reinterpret_cast<const T*>(image.RowPtr(y));
  return std::vector<T>(p, p + image.width * image.bands);
}

TEST(DatReader, HeaderGivesTheLayoutAndLineBreaksDoNotMatter) {
  CTypedImg<float> image;
  const DatResult r = ReadDat("% KOv1: 3 x 2 x 1\n1\n2 3 4\n\n5\n   6", &image);
  ASSERT_EQ(r.open, 0);
  EXPECT_EQ(r.openWidth, 3);
  EXPECT_EQ(r.openHeight, 2);
  ASSERT_EQ(r.read, 0);
  ASSERT_EQ(image.width, 3);
  ASSERT_EQ(image.height, 2);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{4, 5, 6}));
}

TEST(DatReader, HeaderBlanksMatchAnyWhiteSpaceOrNone) {
  CTypedImg<float> image;
  EXPECT_EQ(ReadDat("%KOv1:2x1x1 trailing words\n7 8", &image).read, 0);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{7, 8}));
  EXPECT_EQ(ReadDat("%   KOv1:\t2  x\t1 x 1\n9 10", &image).read, 0);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{9, 10}));
  // The spelled-out form with its labels.
  EXPECT_EQ(ReadDat("% KOv1: 2 (width) x 1 (height) x 1 (bands)\n11 12", &image).read, 0);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{11, 12}));
  // A wrong label is no header: the line counts as a comment.
  const DatResult bad = ReadDat("% KOv1: 2 (height) x 1 x 1\n13 14 15", &image);
  EXPECT_EQ(bad.openWidth, 3);
}

TEST(DatReader, NewerVersionIsRefusedByReadIntoOnly) {
  CTypedImg<float> image;
  const DatResult r = ReadDat("% KOv2: 3 x 2 x 1\n1 2 3 4 5 6\n", &image);
  EXPECT_EQ(r.open, 0);
  EXPECT_EQ(r.openWidth, 3);
  EXPECT_EQ(r.openHeight, 2);
  EXPECT_EQ(r.read, ko::E_FAIL);
  EXPECT_FALSE(image.HasMemory());
}

TEST(DatReader, HeaderlessLayoutIsCounted) {
  CTypedImg<float> image;
  DatResult r = ReadDat("1 2 3\n4 5 6\n", &image);
  EXPECT_EQ(r.openWidth, 3);
  EXPECT_EQ(r.openHeight, 2);
  ASSERT_EQ(r.read, 0);
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{4, 5, 6}));

  // Windows line ends, no final line break.
  r = ReadDat("1 2 3\r\n4 5 6", &image);
  EXPECT_EQ(r.openWidth, 3);
  EXPECT_EQ(r.openHeight, 2);

  // Later lines are read at most first-line-count values at a time: "3 4 5" is the rows
  // (3, 4) and (5); counting stops at the first row without a value.
  r = ReadDat("1 2\n3 4 5\n\nx 9\n", &image);
  EXPECT_EQ(r.openWidth, 2);
  EXPECT_EQ(r.openHeight, 3);
  ASSERT_EQ(r.read, 0);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{1, 2}));
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{3, 4}));
  EXPECT_EQ(Row<float>(image, 2), (std::vector<float>{5, 0}));
}

TEST(DatReader, FirstLineStartingWithPercentButNoHeaderIsAComment) {
  CTypedImg<float> image;
  const DatResult r = ReadDat("%x 7 7 7 7\n1 2 3\n4 5 6\n", &image);
  EXPECT_EQ(r.openWidth, 3);
  EXPECT_EQ(r.openHeight, 2);
  ASSERT_EQ(r.read, 0);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{4, 5, 6}));
  // A header missing its band count is no header either.
  EXPECT_EQ(ReadDat("% KOv1: 3 x 2\n1 2 3\n4 5 6\n", &image).openWidth, 3);
}

TEST(DatReader, CommentsBetweenRowsAreSkippedAndPercentInsideARowEndsIt) {
  CTypedImg<float> image;
  const DatResult r = ReadDat("% KOv1: 3 x 3 x 1\n% first\n%second\n1 2 3\n4 5 % stop\n6 7 8\n", &image);
  ASSERT_EQ(r.read, 0);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{4, 5, 0}));
  EXPECT_EQ(Row<float>(image, 2), (std::vector<float>{6, 7, 8}));
}

TEST(DatReader, ValuesAreClampedAndTruncatedPerElementType) {
  const std::string values = "% KOv1: 8 x 1 x 1\n300 -5 2.9 -2.9 -1 70000 -70000 nan\n";
  CTypedImg<unsigned char> bytes;
  ASSERT_EQ(ReadDat(values, &bytes).read, 0);
  EXPECT_EQ(Row<uint8_t>(bytes, 0), (std::vector<uint8_t>{255, 0, 2, 0, 0, 255, 0, 0}));

  CTypedImg<int32_t> ints;
  ASSERT_EQ(ReadDat(values, &ints).read, 0);
  EXPECT_EQ(Row<int32_t>(ints, 0), (std::vector<int32_t>{300, -5, 2, -2, -1, 70000, -70000, 0}));

  CTypedImg<unsigned short> shorts;
  ASSERT_EQ(ReadDat(values, &shorts).read, 0);
  // Negative values down to -65536 keep their two's complement.
  EXPECT_EQ(Row<uint16_t>(shorts, 0), (std::vector<uint16_t>{300, 0xFFFB, 2, 0xFFFE, 0xFFFF, 0xFFFF, 0, 0}));

  CTypedImg<float> floats;
  ASSERT_EQ(ReadDat(values, &floats).read, 0);
  const std::vector<float> f = Row<float>(floats, 0);
  EXPECT_EQ(f[2], 2.9f);
  EXPECT_EQ(f[6], -70000.0f);
  EXPECT_TRUE(std::isnan(f[7]));
}

TEST(DatReader, EveryValuePassesThroughAFloat) {
  CTypedImg<int32_t> ints;
  ASSERT_EQ(ReadDat("% KOv1: 5 x 1 x 1\n16777217 2147483520 3e9 -3e9 inf\n", &ints).read, 0);
  // 2^24 + 1 is not a float; values beyond the int range saturate.
  EXPECT_EQ(Row<int32_t>(ints, 0), (std::vector<int32_t>{16777216, 2147483520, INT32_MAX, INT32_MIN, INT32_MAX}));
}

TEST(DatReader, ColourCallerGetsFourBandsAndFourValuesPerPixel) {
  ko::CCompositeImg<ko::RGBAType<unsigned char>> rgba;
  ASSERT_EQ(ReadDat("% KOv1: 2 x 1 x 1\n1 2 3 4 5 6 7 8\n", &rgba).read, 0);
  EXPECT_EQ(rgba.type, ko::kTypeRGBAByte);
  EXPECT_EQ(rgba.bands, 4);
  EXPECT_EQ(Row<uint8_t>(rgba, 0), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  CImg rgbaFloat;
  rgbaFloat.type = ko::kTypeRGBAFloat;
  rgbaFloat.elementSize = 4;
  ASSERT_EQ(ReadDat("1.5 2 3 4\n", &rgbaFloat).read, 0);  // headerless: width 4
  EXPECT_EQ(rgbaFloat.width, 4);
  EXPECT_EQ(rgbaFloat.bands, 4);
  EXPECT_EQ(Row<float>(rgbaFloat, 0), (std::vector<float>{1.5f, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(DatReader, FileBandCountIsUsedForPlainTypes) {
  CTypedImg<unsigned char> image;
  ASSERT_EQ(ReadDat("% KOv1: 2 x 1 x 3\n1 2 3 4 5 6\n", &image).read, 0);
  EXPECT_EQ(image.bands, 3);
  EXPECT_EQ(Row<uint8_t>(image, 0), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(DatReader, OtherCallerTypesAreRefused) {
  for (int32_t type : {0, 5, ko::kTypeRGBByte, ko::kTypeRGB16, 0x20001}) {
    CImg image;
    image.type = type;
    EXPECT_EQ(ReadDat("% KOv1: 1 x 1 x 1\n1\n", &image).read, ko::E_FAIL) << type;
    EXPECT_FALSE(image.HasMemory());
  }
}

TEST(DatReader, MissingValuesAreZeroEvenInReusedMemory) {
  CTypedImg<float> image;
  ASSERT_EQ(image.Create(2, 2, 1, 0), 0);
  const float junk = 123.0f;
  ASSERT_EQ(image.Fill(&junk, nullptr, -1, true), 0);
  const void* before = image.pixels;
  ASSERT_EQ(ReadDat("% KOv1: 2 x 2 x 1\n7 ", &image).read, 0);  // short, but not an error
  EXPECT_EQ(image.pixels, before);  // the block was reused
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{7, 0}));
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{0, 0}));
  // A value that does not convert ends the values just the same.
  ASSERT_EQ(ReadDat("% KOv1: 2 x 2 x 1\n1 2 3 oops 4\n", &image).read, 0);
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{3, 0}));
}

TEST(DatReader, BadSizesAndEmptyInputs) {
  CTypedImg<float> image;
  EXPECT_EQ(ReadDat("% KOv1: 0 x 2 x 1\n", &image).read, ko::E_INVALIDARG);
  EXPECT_EQ(ReadDat("% KOv1: 2 x -2 x 1\n", &image).read, ko::E_INVALIDARG);
  EXPECT_EQ(ReadDat("% KOv1: 2 x 2 x 0\n", &image).read, ko::E_INVALIDARG);
  EXPECT_EQ(ReadDat("% KOv1: 99999 x 99999 x 1\n", &image).read, ko::E_OUTOFMEMORY);
  EXPECT_EQ(ReadDat("% KOv1: 99999999999 x 1 x 1\n1\n", &image).openWidth, 1);  // no header
  CTypedImg<float> fresh;
  const DatResult empty = ReadDat("", &fresh);
  EXPECT_EQ(empty.open, 0);
  EXPECT_EQ(empty.openWidth, 0);
  EXPECT_EQ(empty.read, ko::E_INVALIDARG);
  EXPECT_FALSE(fresh.HasMemory());
  EXPECT_EQ(ReadDat("% only a comment", &image).read, ko::E_INVALIDARG);
  EXPECT_EQ(ReadDat("garbage\n", &image).read, ko::E_INVALIDARG);
}

TEST(DatReader, NumbersInEveryFormPercentFAccepts) {
  CTypedImg<float> image;
  ASSERT_EQ(ReadDat("+1.5e1 -.5 5. 0x10 0x1.8p1 -INF Infinity 1E-2\n", &image).read, 0);
  const std::vector<float> f = Row<float>(image, 0);
  ASSERT_EQ(f.size(), 8u);
  EXPECT_EQ(f[0], 15.0f);
  EXPECT_EQ(f[1], -0.5f);
  EXPECT_EQ(f[2], 5.0f);
  EXPECT_EQ(f[3], 16.0f);
  EXPECT_EQ(f[4], 3.0f);
  EXPECT_EQ(f[5], -INFINITY);
  EXPECT_EQ(f[6], INFINITY);
  EXPECT_EQ(f[7], 0.01f);
}

TEST(DatReader, OpensFilesAndReportsMissingOnes) {
  raw_test::ScratchDir dir;
  const std::string path = dir.Write("small.dat", "10 20\n30 40\n");
  CDatImageReader reader;
  ASSERT_EQ(reader.Open(raw_test::Wide(path).c_str()), 0);
  EXPECT_EQ(reader.width, 2);
  EXPECT_EQ(reader.height, 2);
  CTypedImg<unsigned char> image;
  ASSERT_EQ(reader.ReadInto(&image, 0), 0);
  EXPECT_EQ(Row<uint8_t>(image, 1), (std::vector<uint8_t>{30, 40}));

  CDatImageReader missing;
  EXPECT_EQ(missing.Open(raw_test::Wide(dir.Path("none.dat")).c_str()), ko::E_FAIL);
  EXPECT_EQ(missing.ReadInto(&image, 0), ko::E_FAIL);
  CDatImageReader neverOpened;
  EXPECT_EQ(neverOpened.ReadInto(&image, 0), ko::E_FAIL);
}

// Standard input from a pipe cannot be rewound, yet the headerless layout reads it twice.
TEST(DatReader, DashReadsStandardInputOnce) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string text = "1 2 3\n4 5 6\n";
  ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fds[1]);
  std::fflush(stdin);
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(dup2(fds[0], 0), 0);
  close(fds[0]);
  std::clearerr(stdin);

  CDatImageReader reader;
  const HRESULT open = reader.Open(u"-");
  CTypedImg<float> image;
  const HRESULT read = reader.ReadInto(&image, 0);

  dup2(saved, 0);
  close(saved);
  std::clearerr(stdin);

  ASSERT_EQ(open, 0);
  EXPECT_EQ(reader.width, 3);
  EXPECT_EQ(reader.height, 2);
  ASSERT_EQ(read, 0);
  EXPECT_EQ(Row<float>(image, 0), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(Row<float>(image, 1), (std::vector<float>{4, 5, 6}));
}

// ---------------------------------------------------------------------------------------
// "%f" against the C library's own conversion of the same text.

bool Scan(const std::string& text, float* value, size_t* consumed) {
  ko::CByteSource source;
  source.OpenMemory(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  const bool ok = ko::ScanFloatValue(source, value);
  *consumed = text.size() - static_cast<size_t>(source.Remaining());
  return ok;
}

void ExpectSameAsStrtof(const std::string& number) {
  float value = 0;
  size_t consumed = 0;
  ASSERT_TRUE(Scan(number + " rest", &value, &consumed)) << number;
  EXPECT_EQ(consumed, number.size()) << number;
  const float reference = std::strtof(number.c_str(), nullptr);
  if (std::isnan(reference)) EXPECT_TRUE(std::isnan(value)) << number;
  else EXPECT_EQ(std::memcmp(&value, &reference, 4), 0) << number << " " << value << " vs " << reference;
}

TEST(ScanFloatValue, MatchesStrtofOnAwkwardNumbers) {
  for (const char* n : {"0", "-0", "1", "0.1", "3.4028235e38", "3.4028236e38", "1e39", "1e-46", "1.4e-45",
                        "7.0064923e-46", "7.006492321624087e-46", "1.00000005960464477539", "16777217",
                        "0.000000000000000000000000000000000000000000001", "123456789012345678901234567890",
                        "0x1p-149", "0x1.fffffeP127", "0x.8", "0X1P+3", "nan", "nan(123abc_)", "-inf", "1e999999999999",
                        "00000000000000000000000000000012.5e-1"}) {
    ExpectSameAsStrtof(n);
  }
  // Mantissas far longer than any buffer, the decisive digit at the very end.
  std::string halfway = "1.000000059604644775390625";  // exactly between two floats
  ExpectSameAsStrtof(halfway);
  ExpectSameAsStrtof(halfway + std::string(5000, '0'));
  ExpectSameAsStrtof(halfway + std::string(5000, '0') + "1");
  ExpectSameAsStrtof("0." + std::string(3000, '0') + "1e3040");
  ExpectSameAsStrtof("0x1.000001" + std::string(400, '0') + "1p0");
}

TEST(ScanFloatValue, MatchesStrtofOnRandomDecimals) {
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string n;
    if (rng() % 2) n += (rng() % 2) ? "-" : "+";
    const int intDigits = static_cast<int>(rng() % 12);
    for (int d = 0; d < intDigits; ++d) n += static_cast<char>('0' + rng() % 10);
    const int fracDigits = static_cast<int>(rng() % 30);
    if (fracDigits || intDigits == 0) {
      n += '.';
      for (int d = 0; d < fracDigits + (intDigits == 0); ++d) n += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 3 == 0) n += "e" + std::to_string(static_cast<int>(rng() % 90) - 45);
    ExpectSameAsStrtof(n);
  }
  // Short mantissas with small exponents, where ties and near-ties of float rounding are
  // most often met.
  for (int i = 0; i < 50000; ++i) {
    std::string n = std::to_string(rng() % 10000000);
    if (rng() % 2) n.insert(n.size() - rng() % n.size(), ".");
    n += "e" + std::to_string(static_cast<int>(rng() % 25) - 12);
    ExpectSameAsStrtof(n);
  }
}

TEST(ScanFloatValue, IncompleteNumbersFailAfterConsumingTheirPrefix) {
  struct Case {
    const char* text;
    size_t consumed;
  };
  for (const Case c : {Case{"-x", 1}, Case{".e1", 1}, Case{"1e+x", 3}, Case{"1.5E", 4}, Case{"infin ", 5},
                       Case{"nan(12", 6}, Case{"0x", 2}, Case{"0xp1", 2}, Case{"  %", 2}, Case{"", 0}}) {
    float value = 0;
    size_t consumed = 0;
    EXPECT_FALSE(Scan(c.text, &value, &consumed)) << c.text;
    EXPECT_EQ(consumed, c.consumed) << c.text;
  }
}

}  // namespace
