#include "app/refine/refine_stencil.h"

#include "app/refine/refine_rule.h"

namespace brevant {
namespace {

constexpr int32_t kChunk = 64;  // pixels whose weights are exponentiated together

// The orientation at (x, y) inside the pass margin, 0 outside it: folded (weightExponents folds
// it), what the reference refinement's folded plane holds. No folded plane is made.
float InsideMarginAt(const ko::CTypedImg<float>& orientation, int32_t x, int32_t y) {
  const bool inside = x >= kPassMargin && x < orientation.width - kPassMargin && y >= kPassMargin &&
                      y < orientation.height - kPassMargin;
  return inside ? orientation.At(x, y) : 0.0f;
}

// Sample s of pixel x at (px, py) looking along theta, as the reference sampler works it
// out, except that its four neighbours' weights are left to be worked out from theta and
// their orientations, stored in direction[0..3] and neighbour[0..3]; stored at index `at` of
// the row's fields.
void Geometry(const ko::CTypedImg<float>& orientation, float px, float py, float theta, int32_t x, int32_t y,
              const SStencilRow& row, int32_t at, int s, float* direction, float* neighbour) {
  if (!SampleInside(px, py, orientation.width, orientation.height)) {
    // Reads nothing that matters: the pixel itself with weight 0; the result becomes NaN.
    for (int i = 0; i < 4; ++i) direction[i] = neighbour[i] = 0.0f;
    row.fx[s][at] = row.fy[s][at] = 0.0f;
    row.ix[s][at] = x;
    row.dy[s][at] = 0;
    row.flags[s][at] = 0;
    return;
  }
  const int32_t ix = static_cast<int32_t>(px);
  const int32_t iy = static_cast<int32_t>(py);
  for (int i = 0; i < 4; ++i) {
    direction[i] = theta;
    neighbour[i] = InsideMarginAt(orientation, ix + (i & 1), iy + (i >> 1));
  }
  row.fx[s][at] = static_cast<float>(px - ix);
  row.fy[s][at] = static_cast<float>(py - iy);
  row.ix[s][at] = ix;
  row.dy[s][at] = static_cast<int8_t>(iy - y);
  row.flags[s][at] = kStencilValid;
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
  // With the samples, nothing reads the row's own fields: they are worked out a chunk at a
  // time in `scratch` and only the samples are stored.
  const bool samples = stencils.binSample[0] != nullptr;
  float weights[2][4][kChunk], fx[2][kChunk], fy[2][kChunk];
  int32_t ix[2][kChunk];
  int8_t dy[2][kChunk];
  uint8_t flags[2][kChunk];
  SStencilRow scratch = stencils;
  if (samples) {
    for (int s = 0; s < 2; ++s) {
      for (int i = 0; i < 4; ++i) scratch.weight[s][i] = weights[s][i];
      scratch.fx[s] = fx[s];
      scratch.fy[s] = fy[s];
      scratch.ix[s] = ix[s];
      scratch.dy[s] = dy[s];
      scratch.flags[s] = flags[s];
    }
  }
  const SStencilRow& fields = samples ? scratch : stencils;
  for (int32_t c0 = x0; c0 < x1; c0 += kChunk) {
    const int32_t first = samples ? c0 : 0;  // the fields' index of pixel x is x - first
    const int32_t c1 = c0 + kChunk < x1 ? c0 + kChunk : x1;
    for (int32_t x = c0; x < c1; ++x) {
      // The row lies inside the pass margin, and so do x0 .. x1.
      const SSamplePoints p = SamplePoints(FoldOrientation(row[x]), x, y);
      const int32_t at = 8 * (x - c0);
      for (int s = 0; s < 2; ++s)
        Geometry(orientation, p.x[s], p.y[s], p.theta[s], x, y, fields, x - first, s, direction + at + 4 * s,
                 neighbour + at + 4 * s);
    }
    // The weights of the whole chunk at once, their exponents lane by lane (weight_rule.h),
    // then their exponentials (weight_exp.h).
    weightExponents(direction, neighbour, q, backward, 8 * (c1 - c0));
    weightExp(q, w, 8 * (c1 - c0));
    for (int32_t x = c0; x < c1; ++x) {
      const float* pw = w + 8 * (x - c0);
      const uint8_t* pb = backward + 8 * (x - c0);
      const int32_t at = x - first;
      for (int s = 0; s < 2; ++s) {
        const bool valid = (fields.flags[s][at] & kStencilValid) != 0;
        if (valid) {
          for (int i = 0; i < 4; ++i) fields.flags[s][at] |= static_cast<uint8_t>(pb[4 * s + i] << i);
        }
        for (int i = 0; i < 4; ++i) fields.weight[s][i][at] = valid ? pw[4 * s + i] : 0.0f;
        if (!samples) continue;
        SBinSample& b = stencils.binSample[s][x];
        const uint8_t bits = fields.flags[s][at];
        for (int i = 0; i < 4; ++i) {
          b.weight[i] = fields.weight[s][i][at];
          const uint32_t column = static_cast<uint32_t>(fields.ix[s][at] + (i & 1));
          b.half[i] = static_cast<int8_t>(2 * (static_cast<int32_t>(column) - x) + ((bits >> i) & 1u));
        }
        b.fx = fields.fx[s][at];
        b.fy = fields.fy[s][at];
        b.dy = fields.dy[s][at];
        b.flags = bits & kStencilValid;
      }
    }
  }
}

}  // namespace brevant
