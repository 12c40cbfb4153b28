// Every row of the golden table of malformed inputs gives its stated result code and
// leaves no pixels behind; the well-formed files the rows start from load.
#include <gtest/gtest.h>

#include <set>

#include "io/golden_malformed_util.h"
#include "io/obj_file_util.h"
#include "ko/io/image_file_reader.h"
#include "ko/io/image_limits.h"

namespace {

using golden::SMalformedCase;

ko::HRESULT Load(const std::string& path) {
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  return ko::LoadImageFile(ko_test::Wide(path).c_str(), &colour, 1, -1);
}

ko::HRESULT ReadFirst(const std::string& path) {
  ko::CImageFileReader owner;
  const ko::HRESULT hr = owner.OpenFile(ko_test::Wide(path).c_str(), -1);
  if (hr < 0) return hr;
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  return owner.ReadImage(&colour, 1);
}

void Check(const ko_test::TempDir& dir, const SMalformedCase& row) {
  SCOPED_TRACE(row.name);
  const std::string path = dir.Path(row.name);
  ko_test::WriteBytes(path, row.bytes);
  const ko::HRESULT load = Load(path);
  if (row.orLoad != 0 && load == row.orLoad) return;
  EXPECT_EQ(load, row.load) << "load of " << row.name << " gave " << ko::ResultName(load);
  if (row.read != 0 || row.load == ko::S_FALSE) {
    const ko::HRESULT read = ReadFirst(path);
    EXPECT_EQ(read, row.read) << "read of " << row.name << " gave " << ko::ResultName(read);
  }
}

TEST(GoldenMalformed, WellFormedBasesLoad) {
  ko_test::TempDir dir;
  for (const SMalformedCase& row : golden::WellFormedBases()) Check(dir, row);
}

TEST(GoldenMalformed, EveryRowGivesItsCode) {
  ko_test::TempDir dir;
  const std::vector<SMalformedCase> rows = golden::MalformedCases();
  std::set<std::string> names;
  for (const SMalformedCase& row : rows) {
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate row " << row.name;
    EXPECT_TRUE(row.load < 0 || row.read < 0) << row.name << " is no failure";
    Check(dir, row);
  }
  EXPECT_GT(rows.size(), 200u);
}

}  // namespace

namespace {

TEST(ImageLimits, PixelAndByteCapsMeetAtTheirEdges) {
  using ko::WithinImageLimits;
  EXPECT_TRUE(WithinImageLimits(16384, 16384, 4, 1));   // 2^28 pixels, 1 GiB
  EXPECT_FALSE(WithinImageLimits(16385, 16384, 1, 1));  // one row past the pixel cap
  EXPECT_TRUE(WithinImageLimits(1, int64_t{1} << 28, 1, 1));
  EXPECT_TRUE(WithinImageLimits(8192, 16384, 4, 4));    // 2^27 float RGBA pixels: 2 GiB
  EXPECT_FALSE(WithinImageLimits(8193, 16384, 4, 4));
  EXPECT_TRUE(WithinImageLimits(1, 1, int64_t{1} << 29, 4));  // one pixel of exactly 2 GiB
  EXPECT_FALSE(WithinImageLimits(1, 1, (int64_t{1} << 29) + 1, 4));
  EXPECT_FALSE(WithinImageLimits(INT32_MAX, INT32_MAX, INT32_MAX, 8));
  // Sizes that are no sizes are left to the image to refuse.
  EXPECT_TRUE(WithinImageLimits(0, 5, 1, 1));
  EXPECT_TRUE(WithinImageLimits(5, -5, 1, 1));
}

}  // namespace

namespace {

struct SGateLog {
  int calls = 0;
  int32_t width = 0, height = 0;
  ko::HRESULT answer = ko::S_OK;
};

ko::HRESULT LogGate(int32_t width, int32_t height, int32_t, int32_t, void* context) {
  auto* log = static_cast<SGateLog*>(context);
  ++log->calls;
  log->width = width;
  log->height = height;
  return log->answer;
}

class CGateInstalled {
 public:
  explicit CGateInstalled(SGateLog* log) { ko::SetImageSizeGate(LogGate, log); }
  ~CGateInstalled() { ko::SetImageSizeGate(nullptr, nullptr); }
};

}  // namespace

// Every reader asks the caller's gate with the declared size before it makes the image,
// and a refusal is what the load returns, with no pixels left behind.
TEST(ImageSizeGate, EveryReaderAsksBeforeItAllocates) {
  ko_test::TempDir dir;
  int formats = 0;
  for (const SMalformedCase& row : golden::WellFormedBases()) {
    if (row.load != ko::S_OK) continue;
    SCOPED_TRACE(row.name);
    ++formats;
    const std::string path = dir.Path(row.name);
    ko_test::WriteBytes(path, row.bytes);
    SGateLog log;
    log.answer = ko::E_OUTOFMEMORY;
    ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
    {
      CGateInstalled gate(&log);
      EXPECT_EQ(ko::LoadImageFile(ko_test::Wide(path).c_str(), &colour, 1, -1), ko::E_OUTOFMEMORY);
    }
    EXPECT_GE(log.calls, 1);
    EXPECT_FALSE(colour.HasMemory());

    SGateLog allow;
    ko::CCompositeImg<ko::RGBAType<unsigned char>> loaded;
    {
      CGateInstalled gate(&allow);
      ASSERT_EQ(ko::LoadImageFile(ko_test::Wide(path).c_str(), &loaded, 1, -1), ko::S_OK);
    }
    EXPECT_GE(allow.calls, 1);
    EXPECT_EQ(allow.width, loaded.width);
    EXPECT_EQ(allow.height, loaded.height);
    EXPECT_EQ(log.width, loaded.width);
  }
  EXPECT_GE(formats, 9);
}
