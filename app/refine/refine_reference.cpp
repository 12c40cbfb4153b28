// The reference form of the refinement: every pass samples whole planes through the
// reference sampler and writes whole planes, the histograms' 180 working planes included.
#include <memory>

#include "app/float_plane.h"
#include "app/refine/orientation_histograms.h"
#include "app/refine/refine.h"
#include "app/refine/support_sampler.h"
#include "ko/platform/memory.h"

namespace brevant {

SSupportGeometry PrepareOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& orientations) {
  SSupportGeometry g;
  if (!SampleInside(x, y, orientations.width, orientations.height)) return g;
  g.inside = true;
  g.ix = static_cast<int32_t>(x);
  g.iy = static_cast<int32_t>(y);
  g.fx = static_cast<float>(x - g.ix);
  g.fy = static_cast<float>(y - g.iy);
  for (int i = 0; i < 4; ++i) {
    const float q = WeightExponent(theta, orientations.At(g.ix + (i & 1), g.iy + (i >> 1)), &g.backward[i]);
    g.weight[i] = ExpF(q);
  }
  return g;
}

float SampleOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& source,
                            const ko::CTypedImg<float>& forward, const ko::CTypedImg<float>& backward,
                            const ko::CTypedImg<float>& orientations) {
  return ApplyOrientedSupport(PrepareOrientedSupport(x, y, theta, orientations), source, forward, backward);
}

uint64_t RefineReferenceBytes(int32_t w, int32_t h, bool histograms) {
  const uint64_t pw = static_cast<uint64_t>(w > 0 ? w : 0), ph = static_cast<uint64_t>(h > 0 ? h : 0);
  const uint64_t planes = 5 + (histograms ? 5 * kHistogramBins : 0);  // folded, support, next support
  return planes * pw * ph * sizeof(float) + 2 * (pw + 1) * sizeof(SSupportGeometry);
}

ko::HRESULT RefineEdgeEnergyReference(const CRunControl& control, CEdgeState& state, ko::CTypedImg<float> energy,
                                      ko::CTypedImg<float> orientation) {
  if (!IsFloatPlane(energy) || !IsFloatPlane(orientation) || energy.width != orientation.width ||
      energy.height != orientation.height)
    return ko::E_INVALIDARG;
  const int32_t w = energy.width;
  const int32_t h = energy.height;
  const bool histograms = state.computeHistograms;
  CRunLog& log = control.Log();

  SHistogramPlanes bins;
  if (histograms) {
    if (CreateHistogramPlanes(bins, w, h) < 0) return ko::E_OUTOFMEMORY;
    for (ko::CTypedImg<float>& plane : state.histograms) {
      if (plane.HasMemory() && plane.width == w && plane.height == h && plane.bands == 1) continue;
      if (plane.Create(w, h, 1, 4, plane.type, 0) < 0) return ko::E_OUTOFMEMORY;
      plane.Clear();
    }
  }
  ko::CTypedImg<float> folded, forward, backward, forwardNext, backwardNext;
  for (ko::CTypedImg<float>* plane : {&folded, &forward, &backward, &forwardNext, &backwardNext})
    if (plane->Create(w, h, 1, 4, plane->type, 0) < 0) return ko::E_OUTOFMEMORY;
  folded.Clear();
  energy.CopyTo(&forward);
  energy.CopyTo(&backward);
  forwardNext.Clear();
  backwardNext.Clear();
  if (histograms) CastOrientationVotes(energy, orientation, bins, log);

  for (int32_t y = kPassMargin; y < h - kPassMargin; ++y)
    for (int32_t x = kPassMargin; x < w - kPassMargin; ++x) folded.At(x, y) = FoldOrientation(orientation.At(x, y));

  // The sample geometry of one row, shared by the energy and every histogram bin, so that
  // each plane is then swept along the row.
  const int32_t rowLength = w > 0 ? w : 1;
  std::unique_ptr<SSupportGeometry[]> ahead(ko::KoNewArray<SSupportGeometry>(static_cast<size_t>(rowLength)));
  std::unique_ptr<SSupportGeometry[]> behind(ko::KoNewArray<SSupportGeometry>(static_cast<size_t>(rowLength)));
  if (!ahead || !behind) return ko::E_OUTOFMEMORY;

  log.Printf("Number of iterations = %d\n", state.iterations);
  for (int32_t pass = 0; pass < state.iterations; ++pass) {
    if (control.Cancelled()) return ko::E_ABORT;
    log.Write(".");
    log.Flush();
    forwardNext.Clear();
    backwardNext.Clear();
    if (histograms) ClearHistogramPass(bins);
    for (int32_t y = kPassMargin; y < h - kPassMargin; ++y) {
      for (int32_t x = kPassMargin; x < w - kPassMargin; ++x) {
        const SSamplePoints p = SamplePoints(folded.At(x, y), x, y);
        ahead[x] = PrepareOrientedSupport(p.x[0], p.y[0], p.theta[0], folded);
        behind[x] = PrepareOrientedSupport(p.x[1], p.y[1], p.theta[1], folded);
      }
      for (int32_t x = kPassMargin; x < w - kPassMargin; ++x) {
        forwardNext.At(x, y) = ApplyOrientedSupport(ahead[x], energy, forward, backward);
        backwardNext.At(x, y) = ApplyOrientedSupport(behind[x], energy, forward, backward);
      }
      if (histograms) SampleHistogramRow(ahead.get(), behind.get(), y, kPassMargin, w - kPassMargin, bins);
    }
    forwardNext.CopyTo(&forward);
    backwardNext.CopyTo(&backward);
    if (histograms) FinishHistogramPass(bins);
  }

  // The current-pass planes: zero when no pass ran, so B is then unchanged.
  for (int32_t y = kFinalMargin; y < h - kFinalMargin; ++y) {
    for (int32_t x = kFinalMargin; x < w - kFinalMargin; ++x) {
      float& b = energy.At(x, y);
      b = RefinedValue(forwardNext.At(x, y), backwardNext.At(x, y), b);
    }
  }
  if (histograms) AccumulateHistograms(bins, state.histograms);
  return ko::S_OK;
}

}  // namespace brevant
