// brevant-view end to end: a step edge written here as a result file, the program run on it,
// and its pictures read back with libpng.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 40;
constexpr int kHeight = 24;
constexpr int kEdgeX = 20;
constexpr float kBrightensRight = static_cast<float>(1.5 * std::numbers::pi);

struct ViewerRun {
  int status = -1;
  std::string output;
};

ViewerRun RunViewer(const std::string& arguments) {
  ViewerRun run;
  const std::string command = std::string(BREVANT_VIEW_EXE) + " " + arguments + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

struct Png {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> pixels;
  const uint8_t* At(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * channels]; }
};

// Reads with libpng's own reader, keeping the file's grey or RGB layout.
bool ReadPng(const std::string& path, Png* png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  png->channels = (image.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
  image.format = png->channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  png->width = static_cast<int>(image.width);
  png->height = static_cast<int>(image.height);
  png->pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, png->pixels.data(), 0, nullptr)) return false;
  return true;
}

double Hue(const uint8_t* rgb) {
  const double r = rgb[0], g = rgb[1], b = rgb[2];
  const double hi = std::max({r, g, b}), lo = std::min({r, g, b});
  if (hi == lo) return 0.0;
  double h = hi == r ? std::fmod((g - b) / (hi - lo), 6.0) : hi == g ? (b - r) / (hi - lo) + 2.0 : (r - g) / (hi - lo) + 4.0;
  h /= 6.0;
  return h < 0 ? h + 1.0 : h;
}

void WriteBytes(const fs::path& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// A vertical step that brightens toward +x at column kEdgeX: energy there and nowhere else,
// the orientation of such an edge, and, with histograms, its vote in bin 27 (270°).
void WriteStepResult(const fs::path& path, int planes, size_t dropBytes = 0) {
  std::vector<float> values(static_cast<size_t>(planes) * kWidth * kHeight, 0.0f);
  const auto at = [&](int p, int x, int y) -> float& {
    return values[(static_cast<size_t>(p) * kHeight + y) * kWidth + x];
  };
  for (int y = 2; y < kHeight - 2; ++y) {
    at(0, kEdgeX, y) = 3.0f;
    at(1, kEdgeX, y) = kBrightensRight;
    at(2, kEdgeX, y) = 5.0f;
    if (planes == 39) at(3 + 27, kEdgeX, y) = 4.0f;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> bytes(values.size() * 4);
  for (size_t i = 0; i < values.size(); ++i) {
    uint32_t bits;
    std::memcpy(&bits, &values[i], 4);
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(bits >> (8 * b));
  }
  std::fwrite(bytes.data(), 1, bytes.size() - dropBytes, f);
  std::fclose(f);
}

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("brevant_view_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    // A flat (not run-length coded) Radiance image of the step's size: the viewer only needs
    // its size.
    std::string bytes = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(kHeight) + " +X " +
                        std::to_string(kWidth) + "\n";
    const std::string dark("\x40\x40\x40\x80", 4), bright("\xC0\xC0\xC0\x80", 4);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) bytes += x < kEdgeX ? dark : bright;
    WriteBytes(folder / "step.hdr", bytes);
  }
  void TearDown() override { fs::remove_all(folder); }

  fs::path folder;
};

TEST_F(ViewerTest, PlainResultGivesThreePicturesOfTheImageSize) {
  WriteStepResult(folder / "step.edg", 3);  // the name Brevant gives step.hdr's result
  const ViewerRun run = RunViewer((folder / "step.hdr").string());
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* name : {"step-energy.png", "step-orientation.png", "step-refined.png"}) {
    EXPECT_NE(run.output.find((folder / name).string()), std::string::npos) << run.output;
    Png png;
    ASSERT_TRUE(ReadPng((folder / name).string(), &png)) << name;
    EXPECT_EQ(png.width, kWidth) << name;
    EXPECT_EQ(png.height, kHeight) << name;
  }
  EXPECT_FALSE(fs::exists(folder / "step-dominant.png"));

  Png energy, orientation;
  ASSERT_TRUE(ReadPng((folder / "step-energy.png").string(), &energy));
  ASSERT_TRUE(ReadPng((folder / "step-orientation.png").string(), &orientation));
  ASSERT_EQ(energy.channels, 1);
  ASSERT_EQ(orientation.channels, 3);
  for (int y = 2; y < kHeight - 2; ++y) {
    EXPECT_EQ(*energy.At(kEdgeX, y), 255);
    EXPECT_EQ(*energy.At(kEdgeX - 1, y), 0);
    const uint8_t* edge = orientation.At(kEdgeX, y);
    EXPECT_NEAR(Hue(edge), 0.75, 1.0 / 255) << "y " << y;
    EXPECT_EQ(std::max({edge[0], edge[1], edge[2]}), 255);
    const uint8_t* flat = orientation.At(kEdgeX + 3, y);
    EXPECT_EQ(flat[0] + flat[1] + flat[2], 0);
  }
}

TEST_F(ViewerTest, HistogramResultAddsDominantBinAndMontage) {
  WriteStepResult(folder / "given.edg", 39);
  const fs::path out = folder / "pictures" / "nested";
  const ViewerRun run = RunViewer((folder / "step.hdr").string() + " " + (folder / "given.edg").string() + " " +
                            out.string());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("39 planes"), std::string::npos) << run.output;
  Png dominant, montage;
  ASSERT_TRUE(ReadPng((out / "given-dominant.png").string(), &dominant)) << run.output;
  ASSERT_TRUE(ReadPng((out / "given-histograms.png").string(), &montage)) << run.output;
  EXPECT_EQ(dominant.width, kWidth);
  EXPECT_EQ(dominant.height, kHeight);
  // Bin 27 stands for 270°, the same colour as the orientation 3π/2.
  EXPECT_NEAR(Hue(dominant.At(kEdgeX, kHeight / 2)), 0.75, 1.0 / 255);
  // 6 x 6 tiles 2 pixels apart; only bin 27's tile (row 4, column 3) is lit.
  EXPECT_EQ(montage.width, 6 * kWidth + 5 * 2);
  EXPECT_EQ(montage.height, 6 * kHeight + 5 * 2);
  EXPECT_EQ(montage.channels, 1);
  const int tile27x = 3 * (kWidth + 2), tile27y = 4 * (kHeight + 2);
  EXPECT_EQ(*montage.At(tile27x + kEdgeX, tile27y + kHeight / 2), 255);
  EXPECT_EQ(*montage.At(kEdgeX, kHeight / 2), 0);
}

TEST_F(ViewerTest, WrongSizeNamesWhatWasFoundAndExpected) {
  WriteStepResult(folder / "step.edg", 3, 4);
  const ViewerRun run = RunViewer((folder / "step.hdr").string());
  EXPECT_EQ(run.status, 1) << run.output;
  const unsigned plane = 4u * kWidth * kHeight;
  EXPECT_NE(run.output.find("holds " + std::to_string(3 * plane - 4) + " bytes"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(std::to_string(3 * plane) + " bytes (3 planes)"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(std::to_string(39 * plane) + " bytes (39 planes"), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(folder / "step-energy.png"));
}

TEST_F(ViewerTest, CommandLineErrors) {
  ViewerRun run = RunViewer((folder / "step.hdr").string());  // no result file yet
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("Cannot open the result file"), std::string::npos) << run.output;
  run = RunViewer((folder / "missing.hdr").string());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("Cannot open the image"), std::string::npos) << run.output;
  EXPECT_EQ(RunViewer("").status, 2);
  EXPECT_EQ(RunViewer("a b c d").status, 2);
  run = RunViewer("--help");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("99.5th percentile"), std::string::npos);
}

}  // namespace
