#include "app/run/memory_estimate.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

#include "app/contrast/contrast.h"
#include "app/refine/refine.h"
#include "app/steerable/steerable.h"

namespace brevant {

uint64_t RunRequiredBytes(const CSchedule& schedule, int32_t w, int32_t h, bool histograms, float sigma,
                          int32_t passes, bool histogramBands) {
  const uint64_t pw = static_cast<uint64_t>(w > 0 ? w : 0), ph = static_cast<uint64_t>(h > 0 ? h : 0);
  const uint64_t plane = pw * ph * sizeof(float);
  uint64_t bytes = 3 * plane;  // energy (refined in place), orientation, normalised energy
  if (histogramBands) bytes += pw * kHistogramBandRows * sizeof(float) * kHistogramBins;
  else if (histograms) bytes += plane * kHistogramBins;
  return bytes + SteerableBytes(schedule, w, h, sigma) + ContrastBytes(schedule, w, h) +
         RefineBytes(schedule, w, h, passes, histograms);
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
  if (!ParseMemAvailable(text, bytes)) return false;
  // Under an address-space limit (ulimit -v) allocations fail long before memory runs out.
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    unsigned long long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    const bool known = statm && std::fscanf(statm, "%llu", &pages) == 1;
    if (statm) std::fclose(statm);
    const uint64_t used = known ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
    const uint64_t room = limit.rlim_cur > used ? limit.rlim_cur - used : 0;
    if (room < *bytes) *bytes = room;
  }
  return true;
}

std::string NotEnoughMemoryText(int32_t w, int32_t h, uint64_t needed, uint64_t available) {
  constexpr uint64_t kMegabyte = 1024 * 1024;
  char text[160];
  std::snprintf(text, sizeof text,
                "Not enough memory for a %d x %d image: the run needs %" PRIu64 " MB, but only %" PRIu64
                " MB are available.",
                w, h, (needed + kMegabyte - 1) / kMegabyte, available / kMegabyte);
  return text;
}

}  // namespace brevant
