// The result file as brevant-view reads it: its default name, its size check and its planes.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brevant::view {

constexpr int kPlanesPlain = 3;            // energy, orientation, refined energy
constexpr int kPlanesWithHistograms = 39;  // ... and 36 histogram bins

// The name Brevant gives the result of `inputPath`: the last three bytes cut off, "edg"
// appended (photo.png -> photo.edg, scan.tiff -> scan.tedg). None for a path shorter than
// three bytes.
std::optional<std::string> DefaultResultName(const std::string& inputPath);

// 3 or 39 when `bytes` is that many float planes of width × height; 0 otherwise.
int PlaneCountForSize(uint64_t bytes, int width, int height);

// The message for a result whose size fits neither plane count.
std::string SizeMismatchMessage(const std::string& path, uint64_t bytes, int width, int height);

struct ResultPlanes {
  int width = 0;
  int height = 0;
  int count = 0;
  std::vector<float> values;  // count planes of width × height, row-major

  const float* Plane(int p) const { return values.data() + static_cast<size_t>(p) * width * height; }
};

// Reads and checks the whole file. On failure returns false with a message naming the file.
bool ReadResultFile(const std::string& path, int width, int height, ResultPlanes* result, std::string* error);

}  // namespace brevant::view
