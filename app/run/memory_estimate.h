// How much memory a run needs, and how much the machine has: Linux overcommits, so a run
// that would outgrow the machine is refused before it starts instead of being killed
// half-way.
#pragma once
#include <cstdint>
#include <string>

#include "app/schedule.h"

namespace brevant {

// Bytes a run on `schedule` needs for a w x h image, the input not counted: the planes the
// engine holds (energy, orientation, normalised energy, and the histograms, whole or as a
// band when `histogramBands`) and what each stage reports for its working memory.
uint64_t RunRequiredBytes(const CSchedule& schedule, int32_t w, int32_t h, bool histograms, float sigma,
                          int32_t passes, bool histogramBands);

// The "MemAvailable:" figure of a /proc/meminfo text, in bytes; false when it is missing.
bool ParseMemAvailable(const std::string& meminfo, uint64_t* bytes);

// MemAvailable of this machine, or less when the process's address-space limit leaves less
// room than that; false when it cannot be read (the run is then not checked).
bool ReadAvailableMemory(uint64_t* bytes);

// Why a w x h run is refused: "Not enough memory for a W x H image: the run needs N MB, but
// only A MB are available."
std::string NotEnoughMemoryText(int32_t w, int32_t h, uint64_t needed, uint64_t available);

}  // namespace brevant
