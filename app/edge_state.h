// The record the stages of the edge analysis share: the run's parameters and its planes.
#pragma once
#include <cstdint>
#include <deque>

#include "ko/core/img.h"

namespace brevant {

constexpr int kHistogramBins = 36;

struct CEdgeState {
  ko::CTypedImg<float> normalized;
  ko::CTypedImg<float> energy;
  ko::CTypedImg<float> orientation;
  std::deque<ko::CTypedImg<float>> histograms;  // bin k at index k
  int32_t iterations = 0;
  bool computeHistograms = false;
  float sigma = 0.0f;
};

}  // namespace brevant
