// Iterative refinement: edge points that continue one another along their orientation
// reinforce each other, pass after pass.
#pragma once
#include <cstdint>

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
float ApplyOrientedSupport(const SSupportGeometry& geometry, const ko::CTypedImg<float>& source,
                           const ko::CTypedImg<float>& forward, const ko::CTypedImg<float>& backward);

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
ko::HRESULT RefineEdgeEnergy(CEdgeState& state, ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation);

}  // namespace brevant
