#include "app/memory_budget.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/edge_state.h"

namespace brevant {
namespace {

// Planes of the driver: the staging buffer, energy, orientation and the histogram outputs,
// which exist whether or not histograms were asked for.
constexpr int32_t kDriverPlanes = 3 + kHistogramBins;
constexpr int32_t kSteerableWorkPlanes = 8;       // seven responses and one temporary
constexpr int32_t kNormalizationPlanes = 1 + 3;   // the normalised plane and three temporaries
constexpr int32_t kRefinementPlanes = 1 + 5;      // the normalised plane stays; five working planes
constexpr int32_t kHistogramWorkPlanes = 5 * kHistogramBins;
constexpr int32_t kSteerableKernels = 6;

constexpr int32_t Max(int32_t a, int32_t b) { return a > b ? a : b; }

}  // namespace

int32_t PeakPlaneCount(bool histograms) {
  const int32_t refinement = kRefinementPlanes + (histograms ? kHistogramWorkPlanes : 0);
  return kDriverPlanes + Max(kSteerableWorkPlanes, Max(kNormalizationPlanes, refinement));
}

uint64_t RequiredBytes(int32_t w, int32_t h, bool histograms, float sigma) {
  const uint64_t pixels = static_cast<uint64_t>(w > 0 ? w : 0) * static_cast<uint64_t>(h > 0 ? h : 0);
  // The steerable filters refuse a radius of 2^30 or more, so that is as far as it goes.
  const double radius = sigma > 0.0f ? std::floor(std::fmin(2.0 * sigma, 1073741824.0)) : 0.0;
  const double taps = 2.0 * radius + 1.0;
  return pixels * sizeof(float) * static_cast<uint64_t>(PeakPlaneCount(histograms)) +
         static_cast<uint64_t>(taps * kSteerableKernels * sizeof(float));
}

bool ParseMemAvailable(const std::string& meminfo, uint64_t* bytes) {
  const char* key = "MemAvailable:";
  size_t at = 0;
  while ((at = meminfo.find(key, at)) != std::string::npos) {
    if (at == 0 || meminfo[at - 1] == '\n') break;
    at += std::strlen(key);
  }
  if (at == std::string::npos) return false;
  uint64_t kilobytes = 0;
  char unit[8] = {};
  if (std::sscanf(meminfo.c_str() + at + std::strlen(key), " %" SCNu64 " %7s", &kilobytes, unit) != 2 ||
      std::strcmp(unit, "kB") != 0)
    return false;
  *bytes = kilobytes * 1024;
  return true;
}

bool ReadAvailableMemory(uint64_t* bytes) {
  std::FILE* file = std::fopen("/proc/meminfo", "r");
  if (!file) return false;
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return ParseMemAvailable(text, bytes);
}

void ReportNotEnoughMemory(int32_t w, int32_t h, uint64_t needed, uint64_t available) {
  constexpr uint64_t kMegabyte = 1024 * 1024;
  std::printf("Not enough memory for a %d x %d image: the run needs %" PRIu64 " MB, but only %" PRIu64
              " MB are available.\n",
              w, h, (needed + kMegabyte - 1) / kMegabyte, available / kMegabyte);
}

}  // namespace brevant
