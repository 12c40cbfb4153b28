#include "app/pipeline_test_util.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/run/engine.h"

namespace brevant::test {

ko::CTypedImg<float> MakePlane(int32_t w, int32_t h, const std::function<float(int32_t, int32_t)>& value) {
  ko::CTypedImg<float> plane;
  EXPECT_EQ(plane.Create(w, h, 1, 0), ko::S_OK);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) plane.At(x, y) = value(x, y);
  return plane;
}

ko::CTypedImg<float> RandomPlane(int32_t w, int32_t h, std::mt19937& rng, float lo, float hi) {
  std::uniform_real_distribution<float> dist(lo, hi);
  return MakePlane(w, h, [&](int32_t, int32_t) { return dist(rng); });
}

ko::CTypedImg<float> SceneImage(int32_t w, int32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  struct Blob { double x, y, r, a; };
  std::vector<Blob> blobs;
  for (int i = 0; i < 6; ++i) blobs.push_back({u(rng) * w, u(rng) * h, 3.0 + u(rng) * w / 4.0, u(rng) * 120.0 - 60.0});
  const double angle = u(rng) * 3.14159;
  return MakePlane(w, h, [&](int32_t x, int32_t y) {
    double v = 100.0 + 0.3 * x - 0.2 * y;
    for (const Blob& b : blobs) {
      const double d2 = ((x - b.x) * (x - b.x) + (y - b.y) * (y - b.y)) / (b.r * b.r);
      v += b.a * std::exp(-d2);
    }
    if (std::cos(angle) * (x - w / 2.0) + std::sin(angle) * (y - h / 2.0) > 0) v += 40.0;
    if (x > w / 3 && x < w / 3 + 3) v -= 25.0;
    return static_cast<float>(v);
  });
}

std::vector<float> PlaneValues(const ko::CTypedImg<float>& plane) {
  std::vector<float> out;
  for (int32_t y = 0; y < plane.height; ++y)
    for (int32_t x = 0; x < plane.width; ++x) out.push_back(plane.At(x, y));
  return out;
}

bool SameFloat(float a, float b) {
  if (a != a && b != b) return true;
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brevant-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) ADD_FAILURE() << "cannot create a scratch folder";
  path_ = buffer.data();
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  uint8_t buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) {  // fwrite's buffer may not be null, even for nothing
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
}

std::vector<float> ResultPlane(const std::vector<uint8_t>& file, int32_t w, int32_t h, int32_t p) {
  const size_t count = static_cast<size_t>(w) * h;
  std::vector<float> plane(count);
  const size_t offset = static_cast<size_t>(p) * count * 4;
  if (file.size() >= offset + count * 4) std::memcpy(plane.data(), file.data() + offset, count * 4);
  return plane;
}

SRunResult RunCaptured(const CSchedule& schedule, const ko::CTypedImg<float>& input, const std::string& path,
                       float sigma, int32_t iterations, bool histograms, CEdgeState* keep) {
  CEdgeState local;
  CEdgeState& state = keep ? *keep : local;
  state.sigma = sigma;
  state.iterations = iterations;
  state.computeHistograms = histograms;
  testing::internal::CaptureStdout();
  SRunResult result;
  result.status = RunEdgeAnalysis(input, path, state, schedule);
  std::fflush(stdout);
  result.output = testing::internal::GetCapturedStdout();
  return result;
}

SRunResult RunCaptured(const ko::CTypedImg<float>& input, const std::string& path, float sigma, int32_t iterations,
                       bool histograms, CEdgeState* keep) {
  const CSchedule schedule;
  return RunCaptured(schedule, input, path, sigma, iterations, histograms, keep);
}

const CSchedule& FastSchedule() {
  static const CSchedule schedule;
  return schedule;
}

const std::vector<SLaneForm>& LaneForms() {
  static const std::vector<SLaneForm> forms = {
      {"avx512", {true, true, true, true}},
      {"avx2", {true, true, true, false}},
      {"sse2", {true, true, false, false}},
      {"scalar", {false, false, false, false}},
  };
  return forms;
}

}  // namespace brevant::test
