// How much memory a run needs, and how much the machine has: Linux overcommits, so a run
// that would outgrow the machine is refused before it starts instead of being killed
// half-way.
#pragma once
#include <cstdint>
#include <string>

namespace brevant {

// Float planes of the image's size alive at the peak of a run, the input not counted:
// 47 without histograms (the steerable filters' eight working planes on top of 39), 225 with
// them (the refinement's five planes and 180 histogram planes on top of 40).
int32_t PeakPlaneCount(bool histograms);

// Bytes those planes take for a w x h image, plus the steerable kernels of `sigma`.
uint64_t RequiredBytes(int32_t w, int32_t h, bool histograms, float sigma);

// The "MemAvailable:" figure of a /proc/meminfo text, in bytes; false when it is missing.
bool ParseMemAvailable(const std::string& meminfo, uint64_t* bytes);

// MemAvailable of this machine; false when it cannot be read (the run is then not checked).
bool ReadAvailableMemory(uint64_t* bytes);

// Prints why a w x h run is refused: "Not enough memory for a W x H image: the run needs N MB,
// but only A MB are available."
void ReportNotEnoughMemory(int32_t w, int32_t h, uint64_t needed, uint64_t available);

}  // namespace brevant
