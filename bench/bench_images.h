// Test images of the benchmarks: photograph-like content made deterministically, so that
// every run and every machine measures the same pixels.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ko/core/img.h"

namespace brevant::bench {

// Smooth gradients and shading, straight and curved edges of every orientation, fine
// texture and Gaussian-like noise; intensities about 0 to 255. Same seed, same pixels.
ko::CTypedImg<float> PhotoLikeImage(int32_t w, int32_t h, uint32_t seed);

// The same content as a colour Radiance file (flat RGBE scanlines) whose intensity is close
// to PhotoLikeImage. False when the file cannot be written.
bool WritePhotoLikeHdr(const std::string& path, int32_t w, int32_t h, uint32_t seed);

// The bundled photograph (data/sample.jpg, read by the library's own reader) scaled to
// w x h by bilinear interpolation: its colour pixels as R, G, B bytes, row after row. False
// when it cannot be read.
bool SamplePhotoRgb(int32_t w, int32_t h, std::vector<uint8_t>* rgb);
// Its intensity 0.299 R + 0.587 G + 0.114 B as a float plane (empty when unreadable).
ko::CTypedImg<float> SamplePhotoIntensity(int32_t w, int32_t h);
// The scaled photograph as a PNG file, for whole runs of the program on a real reader.
bool WriteSamplePhotoPng(const std::string& path, int32_t w, int32_t h);

// Peak resident memory of this process so far, in bytes.
uint64_t PeakResidentBytes();

}  // namespace brevant::bench
