// Iterative refinement: edge points that continue one another along their orientation
// reinforce each other, pass after pass.
#pragma once
#include <cstdint>
#include <limits>

#include "app/edge_state.h"

namespace brevant {

// Where and how strongly one oriented sample reads its four neighbours. It depends only on
// the position, the orientation and the orientation plane, so one geometry serves every
// plane triple sampled at that point (the energy and each histogram bin).
struct SSupportGeometry {
  int32_t ix = 0, iy = 0;   // top-left neighbour p00
  float fx = 0.0f, fy = 0.0f;
  float weight[4] = {};     // orientation agreement of p00, p10, p01, p11
  bool backward[4] = {};    // the neighbour's orientation opposes: read its backward support
  bool inside = false;      // the position lies where all four neighbours exist
};

// The geometry of a sample at (x, y) in pixel units with orientation theta (radians) over
// the orientation plane O. A position outside [0, W - 1) x [0, H - 1), which only a
// non-finite orientation produces, is marked as not inside.
SSupportGeometry PrepareOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& orientations);

// The bilinear, orientation-weighted support from source plane P plus the forward (Q) or
// backward (R) support of each neighbour; never below 0. NaN when the geometry is not inside.
// Inline: it runs 74 times a pixel and pass with histograms.
inline float ApplyOrientedSupport(const SSupportGeometry& g, const ko::CTypedImg<float>& source,
                                  const ko::CTypedImg<float>& forward, const ko::CTypedImg<float>& backward) {
  if (!g.inside) return std::numeric_limits<float>::quiet_NaN();
  float s[4];
  for (int i = 0; i < 4; ++i) {
    const int32_t px = g.ix + (i & 1);
    const int32_t py = g.iy + (i >> 1);
    const float support = g.backward[i] ? backward.At(px, py) : forward.At(px, py);
    const float sum = source.At(px, py) + support;
    s[i] = g.weight[i] * sum;
  }
  // Bilinear weights in double, the running sum rounded to float after every term.
  const double fx = g.fx, fy = g.fy;
  float acc = static_cast<float>(s[0] * (1.0 - fx) * (1.0 - fy) + 0.0);
  acc = static_cast<float>(acc + s[1] * fx * (1.0 - fy));
  acc = static_cast<float>(acc + s[2] * (1.0 - fx) * fy);
  acc = static_cast<float>(acc + s[3] * fx * fy);
  return acc < 0.0f ? 0.0f : acc;
}

// ApplyOrientedSupport(PrepareOrientedSupport(x, y, theta, O), P, Q, R).
float SampleOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& source,
                            const ko::CTypedImg<float>& forward, const ko::CTypedImg<float>& backward,
                            const ko::CTypedImg<float>& orientations);

// Runs state.iterations passes (none when 0 or less) over `energy` (the normalised energy B)
// guided by `orientation` (radians, 0 to 2 pi), then adds the last pass's forward and backward
// support to B inside a 5-pixel margin. With state.computeHistograms, also propagates the
// orientation histograms into state.histograms (orientation_histograms.h). Prints
// "Number of iterations = %d\n" and one "." per pass. E_INVALIDARG for planes that do not
// match, E_OUTOFMEMORY when the working planes cannot be created (nothing has changed then).
// The fast form unless the plain forms were asked for (pipeline_options.h).
ko::HRESULT RefineEdgeEnergy(CEdgeState& state, ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation);

// The plain form, pass after pass over whole planes; the reference.
ko::HRESULT RefineEdgeEnergyPlain(CEdgeState& state, ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation);
// The fast form (refine_engine.h): the same bits, the same messages.
ko::HRESULT RefineEdgeEnergyFast(CEdgeState& state, ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation);

}  // namespace brevant
