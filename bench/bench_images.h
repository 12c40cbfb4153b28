// Test images of the benchmarks: photograph-like content made deterministically, so that
// every run and every machine measures the same pixels.
#pragma once
#include <cstdint>
#include <string>

#include "ko/core/img.h"

namespace brevant::bench {

// Smooth gradients and shading, straight and curved edges of every orientation, fine
// texture and Gaussian-like noise; intensities about 0 to 255. Same seed, same pixels.
ko::CTypedImg<float> PhotoLikeImage(int32_t w, int32_t h, uint32_t seed);

// The same content as a colour Radiance file (flat RGBE scanlines) whose intensity is close
// to PhotoLikeImage. False when the file cannot be written.
bool WritePhotoLikeHdr(const std::string& path, int32_t w, int32_t h, uint32_t seed);

// Peak resident memory of this process so far, in bytes.
uint64_t PeakResidentBytes();

}  // namespace brevant::bench
