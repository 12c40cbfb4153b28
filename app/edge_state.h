// The record the stages of the edge analysis share: the run's parameters and its planes.
#pragma once
#include <array>
#include <cstdint>

#include "ko/core/img.h"

namespace brevant {

constexpr int kHistogramBins = 36;

using CBinPlanes = std::array<ko::CTypedImg<float>, kHistogramBins>;  // bin k at index k

// Every plane is a 1-band float image of the input's size once the pipeline has created it;
// a new state holds only empty images and owns nothing.
struct CEdgeState {
  ko::CTypedImg<float> normalized;   // contrast-normalised energy
  ko::CTypedImg<float> energy;       // raw, then normalised, then refined energy
  ko::CTypedImg<float> orientation;  // radians, 0 to 2 pi
  CBinPlanes histograms;
  int32_t iterations = 0;
  bool computeHistograms = false;
  float sigma = 0.0f;
  // False: a result sink that takes rows (the result file) may receive the histograms as
  // the passes make them, through a band of rows, and the planes are not kept (the
  // program's choice; only the file is used then).
  bool keepHistogramPlanes = true;
};

}  // namespace brevant
