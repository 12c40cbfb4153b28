// The reference form's sampler: one oriented sample read from whole planes, its geometry
// worked out afresh for every use.
#pragma once
#include <cstdint>
#include <limits>

#include "app/refine/refine_rule.h"
#include "ko/core/img.h"

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

// The geometry of a sample at (x, y) in pixel units looking along theta (radians) over the
// orientation plane O. A position outside [0, W - 1) x [0, H - 1), which only a non-finite
// orientation produces, is marked as not inside.
SSupportGeometry PrepareOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& orientations);

// The support from source plane P plus the forward (Q) or backward (R) support of each
// neighbour; never below 0. NaN when the geometry is not inside. Inline: it runs 74 times a
// pixel and pass with histograms.
inline float ApplyOrientedSupport(const SSupportGeometry& g, const ko::CTypedImg<float>& source,
                                  const ko::CTypedImg<float>& forward, const ko::CTypedImg<float>& backward) {
  if (!g.inside) return std::numeric_limits<float>::quiet_NaN();
  float record[4];
  for (int i = 0; i < 4; ++i) {
    const int32_t px = g.ix + (i & 1);
    const int32_t py = g.iy + (i >> 1);
    record[i] = RecordValue(source.At(px, py), g.backward[i] ? backward.At(px, py) : forward.At(px, py));
  }
  double bilinear[4];
  BilinearWeights(g.fx, g.fy, bilinear);
  return support::Support<lanes::Scalar>(g.weight, record, bilinear);
}

// ApplyOrientedSupport(PrepareOrientedSupport(x, y, theta, O), P, Q, R).
float SampleOrientedSupport(float x, float y, float theta, const ko::CTypedImg<float>& source,
                            const ko::CTypedImg<float>& forward, const ko::CTypedImg<float>& backward,
                            const ko::CTypedImg<float>& orientations);

}  // namespace brevant
