// The fixed geometry of the refinement passes. The folded orientation does not change from
// pass to pass, so neither do the two sample points of a pixel, their bilinear fractions,
// the orientation weights of their four neighbours, nor which support (forward or backward)
// each neighbour gives: they are computed once, from the same rule as the reference
// sampler's (refine_rule.h), and every pass then walks these stencils.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/refine/weight_exp.h"
#include "ko/core/img.h"

namespace brevant {

// One sample of a pass with the histograms, laid out as the vector kernels read it: all it
// needs in 32 bytes, so that a pass reads little besides the records.
struct alignas(32) SBinSample {
  float weight[4];  // orientation agreement of p00, p10, p01, p11
  float fx, fy;     // bilinear fractions
  // The part of neighbour i's record the sample reads, counted in half records from the
  // pixel's own: 2 (column - x) + backward, within -4 .. 5.
  int8_t half[4];
  int8_t dy;      // row of p00 relative to the pixel's row
  uint8_t flags;  // kStencilValid or 0
  uint8_t unused[2];
};
static_assert(sizeof(SBinSample) == 32, "two samples a cache line");

// The stencils of one row, field by field (so that a vector form reads the same field of
// eight neighbouring pixels at once), for both samples of every pixel: sample 0 is the
// forward point, 1 the backward one. Sample s of pixel x reads the neighbours
// p00 = (ix, y + dy), p10 = (ix + 1, y + dy), p01 = (ix, y + dy + 1), p11 = (ix + 1, y + dy + 1),
// in that order.
struct SStencilRow {
  float* weight[2][4];  // orientation agreement of p00, p10, p01, p11
  float* fx[2];         // bilinear fractions: multiples of 2^-24, since the points are >= 0.5
  float* fy[2];
  int32_t* ix[2];       // column of p00
  int8_t* dy[2];        // row of p00 relative to the pixel's row, -2 .. 1
  uint8_t* flags[2];    // bit i (0..3): neighbour i gives its backward support; kStencilValid
  // The pixel's two histogram votes, kept with the row's geometry for every pass: bin and
  // bin + 1 (mod 36) receive first and second; bin -1 when it casts none.
  int8_t* voteBin;
  float* voteFirst;
  float* voteSecond;
  // With the histograms' AVX2 kernel: sample s of pixel x at [s][x], and then the fields above
  // (all but the votes) are left unfilled, since nothing reads them; else null.
  SBinSample* binSample[2];
  int32_t width;             // pixels of the row
};

constexpr uint8_t kStencilValid = 0x10;  // clear: the point lies outside (a non-finite orientation)

// Bytes of one row's stencils for rows `w` pixels wide, with or without the histograms'
// samples.
size_t StencilRowBytes(int32_t w, bool bins);
// The row of stencils stored at `memory` (StencilRowBytes(w, bins) bytes, 4-aligned).
SStencilRow StencilRowAt(void* memory, int32_t w, bool bins);
// The same row indexed from column `col0`: entry x of the result is entry x - col0 of `row`.
SStencilRow ShiftStencilRow(const SStencilRow& row, int32_t col0);

// q[i] and backward[i] (1 or 0): the exponent of the weight a neighbour of orientation
// neighbour[i] (folded by the function) gives a sample looking along theta[i], and whether it
// gives its backward support, for i < n (weight_rule.h).
using WeightExponentsFn = void (*)(const float* theta, const float* neighbour, float* q, uint8_t* backward,
                                   int32_t n);

// The stencils of row y (2 <= y < H - 2) for x0 <= x < x1 (inside 2 <= x < W - 2), from the
// orientation (radians; folded as the reference refinement folds it, into [0, pi] inside the
// 2-pixel margin and 0 outside), the weights' exponents taken by `weightExponents` and their
// exponentials by `weightExp`. Other entries are left as they are.
void ComputeStencilRow(const ko::CTypedImg<float>& orientation, int32_t y, const SStencilRow& stencils, int32_t x0,
                       int32_t x1, WeightExponentsFn weightExponents, WeightExpFn weightExp);

}  // namespace brevant
