#include "app/refine/refine_stencil.h"

#include "app/refine/refine_rule.h"

namespace brevant {
namespace {

constexpr int32_t kChunk = 64;  // pixels whose weights are exponentiated together

// Where one sample reads its neighbours, apart from their weights.
struct SPoint {
  float fx, fy;
  int32_t ix;
  int8_t dy;
  bool inside;
};

// Sample at (px, py) of pixel (x, y) looking along theta, as the reference sampler works it
// out, into *p, except that its four neighbours' weights are left to be worked out from theta
// and their orientations, stored in direction[0..3] and neighbour[0..3]. A neighbour outside
// the pass margin has orientation 0, what the reference refinement's folded plane holds there
// (weightExponents folds the others); no folded plane is made. Field by field: a point
// returned whole went through the stack in pieces that its copy then waited for.
inline void Geometry(const ko::CTypedImg<float>& orientation, float px, float py, float theta, int32_t x, int32_t y,
                     SPoint* p, float* direction, float* neighbour) {
  const int32_t w = orientation.width, h = orientation.height;
  if (!SampleInside(px, py, w, h)) {
    // Reads nothing that matters: the pixel itself with weight 0; the result becomes NaN.
    for (int i = 0; i < 4; ++i) direction[i] = neighbour[i] = 0.0f;
    p->fx = p->fy = 0.0f;
    p->ix = x;
    p->dy = 0;
    p->inside = false;
    return;
  }
  const int32_t ix = static_cast<int32_t>(px);
  const int32_t iy = static_cast<int32_t>(py);
  const auto within = [](int32_t v, int32_t n) { return v >= kPassMargin && v < n - kPassMargin; };
  for (int r = 0; r < 2; ++r) {
    const float* row = orientation.Row(iy + r);
    const bool rowInside = within(iy + r, h);
    for (int c = 0; c < 2; ++c) {
      direction[2 * r + c] = theta;
      neighbour[2 * r + c] = rowInside && within(ix + c, w) ? row[ix + c] : 0.0f;
    }
  }
  p->fx = static_cast<float>(px - ix);
  p->fy = static_cast<float>(py - iy);
  p->ix = ix;
  p->dy = static_cast<int8_t>(iy - y);
  p->inside = true;
}

// Which neighbours give their backward support (bit i for neighbour i), from four flags of
// 0 or 1.
inline uint8_t BackwardBits(const uint8_t* backward) {
  return static_cast<uint8_t>(backward[0] | backward[1] << 1 | backward[2] << 2 | backward[3] << 3);
}

}  // namespace

size_t StencilRowBytes(int32_t w, bool bins) {
  const size_t n = (static_cast<size_t>(w) + 63) & ~size_t{63};
  const size_t fields = n * (2 * (4 + 2) * sizeof(float) + 2 * sizeof(int32_t) + 2 * 2 + 2 * sizeof(float) + 1);
  return fields + (bins ? 2 * n * sizeof(SBinSample) + alignof(SBinSample) : 0);
}

SStencilRow StencilRowAt(void* memory, int32_t w, bool bins) {
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
  row.voteFirst = reinterpret_cast<float*>(p);
  p += n * sizeof(float);
  row.voteSecond = reinterpret_cast<float*>(p);
  p += n * sizeof(float);
  for (int s = 0; s < 2; ++s) {
    row.dy[s] = reinterpret_cast<int8_t*>(p);
    p += n;
    row.flags[s] = p;
    p += n;
  }
  row.voteBin = reinterpret_cast<int8_t*>(p);
  p += n;
  row.binSample[0] = row.binSample[1] = nullptr;
  if (bins) {
    const size_t misalign = reinterpret_cast<uintptr_t>(p) % alignof(SBinSample);
    if (misalign) p += alignof(SBinSample) - misalign;
    for (int s = 0; s < 2; ++s, p += n * sizeof(SBinSample)) row.binSample[s] = reinterpret_cast<SBinSample*>(p);
  }
  row.width = w;
  return row;
}

SStencilRow ShiftStencilRow(const SStencilRow& row, int32_t col0) {
  // Pointers moved back by col0 elements: an entry x in [col0, col0 + width) lands inside.
  const auto back = [col0](auto* p) { return p ? p - col0 : p; };
  SStencilRow out = row;
  for (int s = 0; s < 2; ++s) {
    for (int i = 0; i < 4; ++i) out.weight[s][i] = back(row.weight[s][i]);
    out.fx[s] = back(row.fx[s]);
    out.fy[s] = back(row.fy[s]);
    out.ix[s] = back(row.ix[s]);
    out.dy[s] = back(row.dy[s]);
    out.flags[s] = back(row.flags[s]);
    out.binSample[s] = back(row.binSample[s]);
  }
  out.voteBin = back(row.voteBin);
  out.voteFirst = back(row.voteFirst);
  out.voteSecond = back(row.voteSecond);
  return out;
}

void ComputeStencilRow(const ko::CTypedImg<float>& orientation, int32_t y, const SStencilRow& stencils, int32_t x0,
                       int32_t x1, WeightExponentsFn weightExponents, WeightExpFn weightExp) {
  const float* row = orientation.Row(y);
  float direction[kChunk * 8], neighbour[kChunk * 8], q[kChunk * 8], w[kChunk * 8];
  uint8_t backward[kChunk * 8];
  SPoint points[kChunk][2];
  // With the samples, nothing reads the row's own fields: only the samples are stored.
  const bool samples = stencils.binSample[0] != nullptr;
  for (int32_t c0 = x0; c0 < x1; c0 += kChunk) {
    const int32_t c1 = c0 + kChunk < x1 ? c0 + kChunk : x1;
    for (int32_t x = c0; x < c1; ++x) {
      // The row lies inside the pass margin, and so do x0 .. x1.
      const SSamplePoints p = SamplePoints(FoldOrientation(row[x]), x, y);
      const int32_t at = 8 * (x - c0);
      for (int s = 0; s < 2; ++s)
        Geometry(orientation, p.x[s], p.y[s], p.theta[s], x, y, &points[x - c0][s], direction + at + 4 * s,
                 neighbour + at + 4 * s);
    }
    // The weights of the whole chunk at once, their exponents lane by lane (weight_rule.h),
    // then their exponentials (weight_exp.h).
    weightExponents(direction, neighbour, q, backward, 8 * (c1 - c0));
    weightExp(q, w, 8 * (c1 - c0));
    for (int32_t x = c0; x < c1; ++x) {
      for (int s = 0; s < 2; ++s) {
        const SPoint& g = points[x - c0][s];
        const float* pw = w + 8 * (x - c0) + 4 * s;
        const uint8_t* pb = backward + 8 * (x - c0) + 4 * s;
        const uint8_t bits = g.inside ? static_cast<uint8_t>(kStencilValid | BackwardBits(pb)) : 0;
        if (samples) {
          // Field by field: a copy of a whole sample built on the stack waited for its stores.
          SBinSample& b = stencils.binSample[s][x];
          for (int i = 0; i < 4; ++i) {
            b.weight[i] = g.inside ? pw[i] : 0.0f;
            b.half[i] = static_cast<int8_t>(2 * (g.ix + (i & 1) - x) + ((bits >> i) & 1));
          }
          b.fx = g.fx;
          b.fy = g.fy;
          b.dy = g.dy;
          b.flags = bits & kStencilValid;
          continue;
        }
        for (int i = 0; i < 4; ++i) stencils.weight[s][i][x] = g.inside ? pw[i] : 0.0f;
        stencils.fx[s][x] = g.fx;
        stencils.fy[s][x] = g.fy;
        stencils.ix[s][x] = g.ix;
        stencils.dy[s][x] = g.dy;
        stencils.flags[s][x] = bits;
      }
    }
  }
}

}  // namespace brevant
