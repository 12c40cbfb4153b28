#include "app/refine_stencil.h"

#include <cmath>

#include "app/edge_refinement.h"
#include "app/float_math.h"

namespace brevant {
namespace {

constexpr int32_t kPassMargin = 2;

// The plain refinement's sample coordinate: 1.5 pixels along the angle, each step rounded
// to float.
inline float Along(double trig, float origin) {
  const float unit = static_cast<float>(trig);
  const float offset = static_cast<float>(unit * 1.5);
  return static_cast<float>(static_cast<double>(offset) + origin);
}

// Pixel x's entry of sample s from the plain sampler's geometry.
void Store(const SSupportGeometry& g, int32_t x, int32_t y, const SStencilRow& row, int s) {
  if (!g.inside) {
    // Reads nothing that matters: the pixel itself with weight 0; the result becomes NaN.
    for (int i = 0; i < 4; ++i) row.weight[s][i][x] = 0.0f;
    row.fx[s][x] = row.fy[s][x] = 0.0f;
    row.ix[s][x] = x;
    row.dy[s][x] = 0;
    row.flags[s][x] = 0;
    return;
  }
  uint8_t flags = kStencilValid;
  for (int i = 0; i < 4; ++i) {
    row.weight[s][i][x] = g.weight[i];
    if (g.backward[i]) flags |= static_cast<uint8_t>(1u << i);
  }
  row.fx[s][x] = g.fx;
  row.fy[s][x] = g.fy;
  row.ix[s][x] = g.ix;
  row.dy[s][x] = static_cast<int8_t>(g.iy - y);
  row.flags[s][x] = flags;
}

}  // namespace

void FoldOrientationRows(const ko::CTypedImg<float>& orientation, ko::CTypedImg<float>& folded, int32_t y0,
                         int32_t y1) {
  const int32_t w = orientation.width, h = orientation.height;
  for (int32_t y = y0; y < y1; ++y) {
    float* out = folded.Row(y);
    const float* in = orientation.Row(y);
    const bool interiorRow = y >= kPassMargin && y < h - kPassMargin;
    for (int32_t x = 0; x < w; ++x) {
      if (!interiorRow || x < kPassMargin || x >= w - kPassMargin) {
        out[x] = 0.0f;
        continue;
      }
      float theta = in[x];
      if (theta > kPi) theta = static_cast<float>(theta - kPi);
      if (theta < 0.0f) theta = static_cast<float>(theta + kPi);
      out[x] = theta;
    }
  }
}

size_t StencilRowBytes(int32_t w) {
  const size_t n = (static_cast<size_t>(w) + 63) & ~size_t{63};
  return n * (2 * (4 + 2) * sizeof(float) + 2 * sizeof(int32_t) + 2 * 2);
}

SStencilRow StencilRowAt(void* memory, int32_t w) {
  const size_t n = (static_cast<size_t>(w) + 63) & ~size_t{63};
  auto* p = static_cast<uint8_t*>(memory);
  SStencilRow row;
  for (int s = 0; s < 2; ++s) {
    for (int i = 0; i < 4; ++i, p += n * sizeof(float)) row.weight[s][i] = reinterpret_cast<float*>(p);
    row.fx[s] = reinterpret_cast<float*>(p);
    p += n * sizeof(float);
    row.fy[s] = reinterpret_cast<float*>(p);
    p += n * sizeof(float);
    row.ix[s] = reinterpret_cast<int32_t*>(p);
    p += n * sizeof(int32_t);
  }
  for (int s = 0; s < 2; ++s) {
    row.dy[s] = reinterpret_cast<int8_t*>(p);
    p += n;
    row.flags[s] = p;
    p += n;
  }
  return row;
}

void ComputeStencilRow(const ko::CTypedImg<float>& folded, int32_t y, const SStencilRow& stencils, int32_t x0,
                       int32_t x1) {
  const float yf = static_cast<float>(y);
  const float* row = folded.Row(y);
  for (int32_t x = x0; x < x1; ++x) {
    const float xf = static_cast<float>(x);
    const float theta = row[x];
    const double phi = theta + kPi;
    const float px1 = Along(std::cos(static_cast<double>(theta)), xf);
    const float py1 = Along(std::sin(static_cast<double>(theta)), yf);
    const float px2 = Along(std::cos(phi), xf);
    const float py2 = Along(std::sin(phi), yf);
    Store(PrepareOrientedSupport(px1, py1, theta, folded), x, y, stencils, 0);
    Store(PrepareOrientedSupport(px2, py2, static_cast<float>(phi), folded), x, y, stencils, 1);
  }
}

}  // namespace brevant
