// A run's input as the program loads it: the image file read into a colour image of 4-band
// bytes (the Radiance and .qxi readers hand back float), with the run's memory gate asked
// before any pixel is allocated, then reduced to the float intensity the stages take.
#pragma once
#include <cstdint>
#include <string>

#include "app/schedule.h"
#include "ko/core/img.h"

namespace brevant {

using CColorImage = ko::CCompositeImg<ko::RGBAType<unsigned char>>;

struct SInputStatus {
  enum class EKind {
    kOk,
    kUnreadable,    // the readers refused the file: `words` is the reason
    kRunTooLarge,   // the run's memory gate refused the image's size: `words` says so
    kOutOfMemory,   // the intensity plane could not be had
    kUnconvertible  // no reduction to intensity for what the reader gave
  };
  EKind kind = EKind::kOk;
  ko::HRESULT hr = ko::S_OK;
  std::string words;
  bool Ok() const { return kind == EKind::kOk; }
};

// What the run needs beside the input, for the memory gate.
struct SRunShape {
  bool histograms = false;
  float sigma = 2.0f;
  int32_t passes = 0;
  bool histogramBands = true;  // the result file takes the histograms through a band
};

// Reads `path` (a narrow path; bytes that are not UTF-8 name the same file) into `colour`.
// With `run`, the image's size is first checked against what that run will need, the
// decoded image and the intensity plane included.
SInputStatus LoadColorImage(const std::string& path, const CSchedule& schedule, const SRunShape* run,
                            CColorImage* colour);

// The float intensity of a loaded colour image, by what the reader gave (0.299 R + 0.587 G +
// 0.114 B, no rescaling; a 1-band image as it is). `path` names it in the words.
SInputStatus ReduceToIntensity(const CColorImage& colour, const std::string& path, ko::CTypedImg<float>* intensity);

}  // namespace brevant
