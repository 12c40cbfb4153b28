#include "tools/edg_result.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace brevant::view {

namespace {

// Bytes of one plane; 0 when the size does not fit 64 bits (no file can then match).
uint64_t PlaneBytes(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(width), static_cast<uint64_t>(height), &bytes)) return 0;
  if (__builtin_mul_overflow(bytes, uint64_t{4}, &bytes)) return 0;
  return bytes;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::optional<std::string> DefaultResultName(const std::string& inputPath) {
  if (inputPath.size() < 3) return std::nullopt;
  return inputPath.substr(0, inputPath.size() - 3) + "edg";
}

int PlaneCountForSize(uint64_t bytes, int width, int height) {
  const uint64_t plane = PlaneBytes(width, height);
  if (plane == 0 || bytes % plane != 0) return 0;
  const uint64_t planes = bytes / plane;
  if (planes == kPlanesPlain) return kPlanesPlain;
  if (planes == kPlanesWithHistograms) return kPlanesWithHistograms;
  return 0;
}

std::string SizeMismatchMessage(const std::string& path, uint64_t bytes, int width, int height) {
  const uint64_t plane = PlaneBytes(width, height);
  char text[512];
  std::snprintf(text, sizeof text,
                "%s holds %llu bytes, which is not a result for a %d x %d image: that has %llu bytes "
                "(3 planes) or %llu bytes (39 planes, with histograms).",
                path.c_str(), static_cast<unsigned long long>(bytes), width, height,
                static_cast<unsigned long long>(plane * kPlanesPlain),
                static_cast<unsigned long long>(plane * kPlanesWithHistograms));
  return text;
}

bool ReadResultFile(const std::string& path, int width, int height, ResultPlanes* result, std::string* error) {
  std::error_code status;
  if (std::filesystem::exists(path, status) && !std::filesystem::is_regular_file(path, status)) {
    *error = "The result file " + path + " is not a regular file.";
    return false;
  }
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    *error = "Cannot open the result file " + path + ": " + std::strerror(errno) + ".";
    return false;
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0) {
    *error = "Cannot read the result file " + path + ": " + std::strerror(errno) + ".";
    return false;
  }
  const long end = std::ftell(file.get());
  if (end < 0) {
    *error = "Cannot read the result file " + path + ": " + std::strerror(errno) + ".";
    return false;
  }
  const uint64_t bytes = static_cast<uint64_t>(end);
  const int planes = PlaneCountForSize(bytes, width, height);
  if (planes == 0) {
    *error = SizeMismatchMessage(path, bytes, width, height);
    return false;
  }
  std::rewind(file.get());
  result->width = width;
  result->height = height;
  result->count = planes;
  const size_t floats = static_cast<size_t>(bytes / 4);
  result->values.resize(floats);
  if (std::fread(result->values.data(), 4, floats, file.get()) != floats) {
    *error = "Cannot read the result file " + path + ": it ended early.";
    return false;
  }
  // The file is little-endian whatever the machine.
  if constexpr (std::endian::native == std::endian::big) {
    for (float& v : result->values) v = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(v)));
  }
  return true;
}

}  // namespace brevant::view
