#include "app/edge_refinement.h"

#include <cstdio>
#include <limits>
#include <memory>

#include "app/float_math.h"
#include "app/float_plane.h"
#include "app/orientation_histograms.h"
#include "app/pipeline_options.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

// pi / 5 rounded to float: the orientation tolerance of the support weight.
constexpr double kWeightScale = -0.6283185482025146;
constexpr double kSampleDistance = 1.5;
constexpr int32_t kPassMargin = 2;   // sampled points stay inside the image
constexpr int32_t kFinalMargin = 5;  // the refined energy is added only here


// One of the two sample points of a pixel: 1.5 pixels from (xf, yf) along angle, each step
// rounded to float.
inline float Along(double trig, float origin) {
  const float unit = static_cast<float>(trig);
  const float offset = static_cast<float>(unit * kSampleDistance);
  return static_cast<float>(static_cast<double>(offset) + origin);
}

}  // namespace

SSupportGeometry PrepareOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& orientations) {
  SSupportGeometry g;
  // Also false for NaN, whose integer part does not exist.
  if (!(x >= 0.0f && x < static_cast<float>(orientations.width - 1) && y >= 0.0f &&
        y < static_cast<float>(orientations.height - 1)))
    return g;
  g.inside = true;
  g.ix = static_cast<int32_t>(x);
  g.iy = static_cast<int32_t>(y);
  g.fx = static_cast<float>(x - g.ix);
  g.fy = static_cast<float>(y - g.iy);
  for (int i = 0; i < 4; ++i) {
    const float neighbour = orientations.At(g.ix + (i & 1), g.iy + (i >> 1));
    float delta = FabsF(theta - neighbour);
    if (delta > kPi) delta = static_cast<float>(kTwoPi - delta);
    if (delta < kHalfPi) {
      g.backward[i] = false;
    } else {
      // Opposed orientations: the neighbour's backward support continues this direction.
      g.backward[i] = true;
      delta = static_cast<float>(kPi - delta);
    }
    g.weight[i] = ExpF(static_cast<float>(static_cast<double>(delta) * delta / kWeightScale));
  }
  return g;
}

float SampleOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& source,
                            const ko::CTypedImg<float>& forward, const ko::CTypedImg<float>& backward,
                            const ko::CTypedImg<float>& orientations) {
  return ApplyOrientedSupport(PrepareOrientedSupport(x, y, theta, orientations), source, forward, backward);
}

ko::HRESULT RefineEdgeEnergyPlain(CEdgeState& state, ko::CTypedImg<float> energy,
                                  ko::CTypedImg<float> orientation) {
  if (!IsFloatPlane(energy) || !IsFloatPlane(orientation) || energy.width != orientation.width ||
      energy.height != orientation.height)
    return ko::E_INVALIDARG;
  const int32_t w = energy.width;
  const int32_t h = energy.height;
  const bool histograms = state.computeHistograms;

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
  if (histograms) CastOrientationVotes(energy, orientation, bins);

  // Edges are undirected for the support: fold the orientation into [0, pi].
  for (int32_t y = kPassMargin; y < h - kPassMargin; ++y) {
    for (int32_t x = kPassMargin; x < w - kPassMargin; ++x) {
      float theta = orientation.At(x, y);
      if (theta > kPi) theta = static_cast<float>(theta - kPi);
      if (theta < 0.0f) theta = static_cast<float>(theta + kPi);
      folded.At(x, y) = theta;
    }
  }

  // The sample geometry of one row, shared by the energy and every histogram bin, so that
  // each plane is then swept along the row.
  const int32_t rowLength = w > 0 ? w : 1;
  std::unique_ptr<SSupportGeometry[]> ahead(ko::KoNewArray<SSupportGeometry>(static_cast<size_t>(rowLength)));
  std::unique_ptr<SSupportGeometry[]> behind(ko::KoNewArray<SSupportGeometry>(static_cast<size_t>(rowLength)));
  if (!ahead || !behind) return ko::E_OUTOFMEMORY;

  std::printf("Number of iterations = %d\n", state.iterations);
  for (int32_t pass = 0; pass < state.iterations; ++pass) {
    std::printf(".");
    std::fflush(stdout);
    forwardNext.Clear();
    backwardNext.Clear();
    if (histograms) ClearHistogramPass(bins);
    for (int32_t y = kPassMargin; y < h - kPassMargin; ++y) {
      const float yf = static_cast<float>(y);
      for (int32_t x = kPassMargin; x < w - kPassMargin; ++x) {
        const float xf = static_cast<float>(x);
        const float theta = folded.At(x, y);
        const double phi = theta + kPi;
        const float px1 = Along(std::cos(static_cast<double>(theta)), xf);
        const float py1 = Along(std::sin(static_cast<double>(theta)), yf);
        const float px2 = Along(std::cos(phi), xf);
        const float py2 = Along(std::sin(phi), yf);
        ahead[x] = PrepareOrientedSupport(px1, py1, theta, folded);
        behind[x] = PrepareOrientedSupport(px2, py2, static_cast<float>(phi), folded);
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
      b = static_cast<float>((static_cast<double>(backwardNext.At(x, y)) + forwardNext.At(x, y)) + b);
    }
  }
  if (histograms) AccumulateHistograms(bins, state.histograms);
  return ko::S_OK;
}

ko::HRESULT RefineEdgeEnergy(CEdgeState& state, ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation) {
  if (PlainFormsInUse()) return RefineEdgeEnergyPlain(state, energy, orientation);
  return RefineEdgeEnergyFast(state, energy, orientation);
}

}  // namespace brevant
