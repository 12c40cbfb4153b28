#include "tools/edg_result.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace brevant::view {
namespace {

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string("brevant_view_") + name)).string();
}

// Writes `floats` as little-endian float32, byte by byte, whatever the machine.
void WriteFloats(const std::string& path, const std::vector<float>& floats) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (float v : floats) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    const unsigned char bytes[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                                    static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
    std::fwrite(bytes, 1, 4, f);
  }
  std::fclose(f);
}

TEST(DefaultResultName, CutsThreeBytesAndAppendsEdg) {
  EXPECT_EQ(DefaultResultName("photo.png"), "photo.edg");
  EXPECT_EQ(DefaultResultName("scan.tiff"), "scan.tedg");
  EXPECT_EQ(DefaultResultName("dir.x/a.bmp"), "dir.x/a.edg");
  EXPECT_EQ(DefaultResultName("x.jp"), "xedg");
  EXPECT_EQ(DefaultResultName("abc"), "edg");
  EXPECT_FALSE(DefaultResultName("ab").has_value());
  EXPECT_FALSE(DefaultResultName("").has_value());
}

TEST(PlaneCountForSize, OnlyThreeOrThirtyNinePlanes) {
  EXPECT_EQ(PlaneCountForSize(12ull * 7 * 5, 7, 5), 3);
  EXPECT_EQ(PlaneCountForSize(156ull * 7 * 5, 7, 5), 39);
  EXPECT_EQ(PlaneCountForSize(12ull * 7 * 5 + 4, 7, 5), 0);
  EXPECT_EQ(PlaneCountForSize(16ull * 7 * 5, 7, 5), 0);  // 4 planes
  EXPECT_EQ(PlaneCountForSize(0, 7, 5), 0);
  EXPECT_EQ(PlaneCountForSize(12ull * 7 * 5, 5, 7), 3);  // a transposed size cannot be told apart
  EXPECT_EQ(PlaneCountForSize(12, 0, 5), 0);
  // Huge sizes: no wrap-around in the byte counts.
  EXPECT_EQ(PlaneCountForSize(3ull << 62, 1 << 30, 1 << 30), 3);
  EXPECT_EQ(PlaneCountForSize(UINT64_MAX, INT_MAX, INT_MAX), 0);
  EXPECT_EQ(PlaneCountForSize((12ull * INT_MAX * INT_MAX), INT_MAX, INT_MAX), 0);
}

TEST(ReadResultFile, PlanesInFileOrderAndClearErrors) {
  const int w = 4, h = 3;
  std::vector<float> floats(3 * w * h);
  for (size_t i = 0; i < floats.size(); ++i) floats[i] = static_cast<float>(i) * 0.5f - 3.0f;
  const std::string path = TempPath("read.edg");
  WriteFloats(path, floats);

  ResultPlanes result;
  std::string error;
  ASSERT_TRUE(ReadResultFile(path, w, h, &result, &error)) << error;
  EXPECT_EQ(result.count, 3);
  EXPECT_EQ(result.Plane(2)[1 * w + 3], floats[2 * w * h + 1 * w + 3]);
  EXPECT_EQ(result.Plane(0)[0], -3.0f);

  EXPECT_FALSE(ReadResultFile(path, w + 1, h, &result, &error));
  EXPECT_NE(error.find("holds 144 bytes"), std::string::npos) << error;
  EXPECT_NE(error.find("5 x 3"), std::string::npos) << error;
  EXPECT_NE(error.find("180 bytes (3 planes)"), std::string::npos) << error;
  EXPECT_NE(error.find("2340 bytes (39 planes"), std::string::npos) << error;

  floats.pop_back();
  WriteFloats(path, floats);
  EXPECT_FALSE(ReadResultFile(path, w, h, &result, &error));
  EXPECT_NE(error.find("holds 140 bytes"), std::string::npos) << error;

  std::filesystem::remove(path);
  EXPECT_FALSE(ReadResultFile(path, w, h, &result, &error));
  EXPECT_NE(error.find("Cannot open"), std::string::npos) << error;
  EXPECT_FALSE(ReadResultFile(std::filesystem::temp_directory_path().string(), w, h, &result, &error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

}  // namespace
}  // namespace brevant::view
