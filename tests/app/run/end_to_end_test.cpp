// The built program run as a process on raw files the tests write, compared with the
// pipeline run in-process on the intensities those files stand for.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/pipeline_test_util.h"
#include "app/run_process_util.h"

using brevant::test::ReadFileBytes;
using brevant::test::RunCaptured;
using brevant::test::ScratchFolder;
using brevant::test::WriteFileBytes;
using brevant_test::RunBrevantProcess;

namespace {

// A scene of a bright disc and a diagonal step, as grey levels 0..255.
int Grey(int x, int y) {
  const int dx = x - 14, dy = y - 11;
  int v = dx * dx + dy * dy < 49 ? 200 : 40;
  if (x + y > 30) v += 30;
  return v;
}

// The intensity the program derives from an RGBA byte pixel with R = G = B = v.
float Intensity(int v) {
  double t = v * 0.29899999499320984;
  t = t + v * 0.5870000123977661;
  t = t + v * 0.11400000005960464;
  return static_cast<float>(t);
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string Expected(const std::string& input, const std::string& output, int iterations, bool histograms) {
  std::string s = "Opening " + input + "\n";
  if (histograms) s += "Computing Orientation Histograms\n";
  s += "Computing steerable filters sigma = 2.000000.\n";
  s += "Number of iterations = " + std::to_string(iterations) + "\n";
  s += std::string(static_cast<size_t>(iterations > 0 ? iterations : 0), '.');
  s += "\nWriting " + output + "\n";
  return s;
}

constexpr int W = 29, H = 23;

TEST(EndToEnd, DatFileGivesThePipelinesResultAndItsMessages) {
  ScratchFolder folder;
  std::string text = "% KOv1: " + std::to_string(W) + " x " + std::to_string(H) + " x 4\n";
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const int v = Grey(x, y);
      text += std::to_string(v) + " " + std::to_string(v) + " " + std::to_string(v) + " 255 ";
    }
    text += "\n% a comment between rows\n";
  }
  WriteFileBytes(folder / "scene.dat", Bytes(text));
  for (const bool histograms : {false, true}) {
    const auto r = RunBrevantProcess({"scene.dat", "3", histograms ? "1" : "0", "2"}, folder.path());
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out, Expected("scene.dat", "scene.edg", 3, histograms));
    EXPECT_EQ(r.err, "");
    const std::vector<uint8_t> fromProcess = ReadFileBytes(folder / "scene.edg");
    ASSERT_EQ(fromProcess.size(), static_cast<size_t>((histograms ? 156 : 12) * W * H));

    const auto intensity = brevant::test::MakePlane(W, H, [](int32_t x, int32_t y) { return Intensity(Grey(x, y)); });
    const auto inProcess = RunCaptured(intensity, folder / "reference.dat", 2.0f, 3, histograms);
    ASSERT_EQ(inProcess.status, 0);
    EXPECT_EQ(ReadFileBytes(folder / "reference.edg"), fromProcess);
  }
}

TEST(EndToEnd, QxiFileKeepsItsFloats) {
  ScratchFolder folder;
  std::string header = "1 4 0 0 " + std::to_string(W) + " " + std::to_string(H) + " 1 0 0x185\n";
  std::vector<uint8_t> file = Bytes(header);
  std::vector<float> values;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) values.push_back(0.25f * static_cast<float>(Grey(x, y)) + 0.125f);
  const auto* raw = reinterpret_cast<const uint8_t*>(values.data());
  file.insert(file.end(), raw, raw + values.size() * 4);
  WriteFileBytes(folder / "scene.qxi", file);
  const auto r = RunBrevantProcess({"scene.qxi", "0", "0", "2"}, folder.path());
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out, Expected("scene.qxi", "scene.edg", 0, false));
  const auto plane = brevant::test::MakePlane(W, H, [&](int32_t x, int32_t y) { return values[static_cast<size_t>(y * W + x)]; });
  ASSERT_EQ(RunCaptured(plane, folder / "ref.qxi", 2.0f, 0, false).status, 0);
  EXPECT_EQ(ReadFileBytes(folder / "ref.edg"), ReadFileBytes(folder / "scene.edg"));
}

TEST(EndToEnd, ATinyImageGivesZeroPlanesOfTheRightSize) {
  ScratchFolder folder;
  // 6 x 5 pixels: too small for sigma 2's 4-pixel border, so every plane is zero.
  std::string text = "% KOv1: 6 x 5 x 1\n";
  for (int i = 0; i < 30; ++i) text += std::to_string(i * 7 % 256) + " ";
  WriteFileBytes(folder / "tiny.dat", Bytes(text));
  const auto r = RunBrevantProcess({"tiny.dat", "2", "1", "2"}, folder.path());
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const auto bytes = ReadFileBytes(folder / "tiny.edg");
  ASSERT_EQ(bytes.size(), 156u * 30u);
  for (uint8_t b : bytes) ASSERT_EQ(b, 0);
}

TEST(EndToEnd, BadRawFilesEndInTheFailureMessage) {
  ScratchFolder folder;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"v2.dat", "% KOv2: 3 x 2 x 1\n1 2 3 4 5 6\n"},
      {"empty.qxi", ""},
      {"short.qxi", "1 4 0 0 100 100 1 0 0x185\nabc"},
      {"kind.qxi", "1 4 0 0 2 2 1 0 0x999\n0123456789abcdef"},
  };
  for (const auto& [name, body] : cases) {
    WriteFileBytes(folder / name, Bytes(body));
    const auto r = RunBrevantProcess({name, "1", "0", "2"}, folder.path());
    EXPECT_EQ(r.exitCode, 1) << name;
    EXPECT_EQ(r.out, "Opening " + name + "\nSorry, couldn't open file " + name +
                         "\nThe reason: the file is truncated or corrupt.\n")
        << name;
  }
  EXPECT_EQ(folder.Entries().size(), cases.size());  // no result file, no temporary
}

}  // namespace
