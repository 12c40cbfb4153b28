#include "app/refine/orientation_histograms.h"

namespace brevant {

ko::HRESULT CreateHistogramPlanes(SHistogramPlanes& planes, int32_t w, int32_t h) {
  for (CBinPlanes* list : {&planes.votes, &planes.forward, &planes.backward, &planes.forwardNext, &planes.backwardNext})
    for (ko::CTypedImg<float>& plane : *list)
      if (plane.Create(w, h, 1, 4, plane.type, 0) < 0) return ko::E_OUTOFMEMORY;
  return ko::S_OK;
}

void CastOrientationVotes(const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation,
                          SHistogramPlanes& planes, CRunLog& log) {
  for (ko::CTypedImg<float>& plane : planes.votes) plane.Clear();
  const int32_t w = energy.width;
  const int32_t h = energy.height;
  for (int32_t y = kVoteMargin; y < h - kVoteMargin; ++y) {
    for (int32_t x = kVoteMargin; x < w - kVoteMargin; ++x) {
      int32_t bin = 0;
      float fraction = 0.0f;
      if (!OrientationBin(orientation.At(x, y), &bin, &fraction)) {
        log.Printf("ERROR %d %d %d\n", x, y, bin);
        continue;
      }
      const int32_t next = (bin + 1) % kHistogramBins;
      SplitVote(energy.At(x, y), fraction, &planes.votes[bin].At(x, y), &planes.votes[next].At(x, y));
    }
  }
  for (int k = 0; k < kHistogramBins; ++k) {
    planes.votes[k].CopyTo(&planes.forward[k]);
    planes.votes[k].CopyTo(&planes.backward[k]);
  }
}

void SampleHistogramRow(const SSupportGeometry* forwardPoints, const SSupportGeometry* backwardPoints, int32_t y,
                        int32_t first, int32_t end, SHistogramPlanes& planes) {
  for (int k = 0; k < kHistogramBins; ++k) {
    const ko::CTypedImg<float>& votes = planes.votes[k];
    const ko::CTypedImg<float>& forward = planes.forward[k];
    const ko::CTypedImg<float>& backward = planes.backward[k];
    float* forwardOut = planes.forwardNext[k].Row(y);
    float* backwardOut = planes.backwardNext[k].Row(y);
    for (int32_t x = first; x < end; ++x) {
      forwardOut[x] = ApplyOrientedSupport(forwardPoints[x], votes, forward, backward);
      backwardOut[x] = ApplyOrientedSupport(backwardPoints[x], votes, forward, backward);
    }
  }
}

void ClearHistogramPass(SHistogramPlanes& planes) {
  for (int k = 0; k < kHistogramBins; ++k) {
    planes.forwardNext[k].Clear();
    planes.backwardNext[k].Clear();
  }
}

void FinishHistogramPass(SHistogramPlanes& planes) {
  for (int k = 0; k < kHistogramBins; ++k) {
    planes.forwardNext[k].CopyTo(&planes.forward[k]);
    planes.backwardNext[k].CopyTo(&planes.backward[k]);
  }
}

void AccumulateHistograms(const SHistogramPlanes& planes, CBinPlanes& histograms) {
  for (int k = 0; k < kHistogramBins; ++k) {
    const int32_t w = histograms[k].width;
    const int32_t h = histograms[k].height;
    for (int32_t y = kFinalMargin; y < h - kFinalMargin; ++y) {
      for (int32_t x = kFinalMargin; x < w - kFinalMargin; ++x) {
        float& out = histograms[k].At(x, y);
        out = RefinedValue(planes.forward[k].At(x, y), planes.backward[k].At(x, y), out);
      }
    }
  }
}

}  // namespace brevant
