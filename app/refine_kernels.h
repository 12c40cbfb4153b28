// The per-pass work of the fast refinement: sampling one row of a pass from the previous
// pass's records through the precomputed stencils.
//
// Records: every pixel of a pass holds 2 C floats, first the forward support of its C
// channels, then their backward support, each already added to the channel's source value
// (P + Q and P + R of the plain sampler, the same float additions), so that a neighbour is
// one load per channel. The energy has C = 1 (source: the normalised energy), the
// histograms C = 36 (source: the votes).
//
// Every form gives, channel by channel, the plain sampler's value to the last bit: weight
// times record rounded to float, the bilinear terms in double, the running sum rounded to
// float after each of the four terms, 0 for a negative sum, NaN for an invalid stencil.
#pragma once
#include <cstdint>

#include "app/refine_stencil.h"

namespace brevant {

constexpr int32_t kRecordRows = 5;  // a pass reads rows y - 2 .. y + 2 of the previous one

// rows[d]: the previous pass's records of row y - 2 + d. For x0 <= x < x1 (inside the pass
// margin) writes out[2 C x + s C + k] for sample s (0 forward, 1 backward) and channel k.
using SupportRowFn = void (*)(const SStencilRow& stencils, const float* const* rows, int32_t channels,
                              int32_t x0, int32_t x1, float* out);

void SupportRowScalar(const SStencilRow& stencils, const float* const* rows, int32_t channels, int32_t x0,
                      int32_t x1, float* out);
// One channel: eight pixels at a time, their neighbours gathered. The rows must lie within
// 2^30 floats of rows[2].
void SupportRowEnergyAvx2(const SStencilRow& stencils, const float* const* rows, int32_t channels, int32_t x0,
                          int32_t x1, float* out);
// 36 channels only: a pixel's bins in vectors of double lanes.
void SupportRowBinsSse2(const SStencilRow& stencils, const float* const* rows, int32_t channels, int32_t x0,
                        int32_t x1, float* out);

// Both records at once, from the rows' SBinSample (made when the histograms are asked for):
// the energy (energyOut[2 x + s]) from energyRows and the 36 bins (binOut as `out` above)
// from binRows, a pixel's bins in vectors of double lanes.
using SamplesRowFn = void (*)(const SStencilRow& stencils, const float* const* energyRows,
                              const float* const* binRows, int32_t x0, int32_t x1, float* energyOut, float* binOut);
void SupportRowSamplesAvx2(const SStencilRow& stencils, const float* const* energyRows, const float* const* binRows,
                           int32_t x0, int32_t x1, float* energyOut, float* binOut);
// The same with eight bins in a register.
void SupportRowSamplesAvx512(const SStencilRow& stencils, const float* const* energyRows,
                             const float* const* binRows, int32_t x0, int32_t x1, float* energyOut, float* binOut);
// The fastest of the two the processor features in effect allow; null without AVX2.
SamplesRowFn ChooseSupportRowSamples();

// The histograms' final step for pixels x0 <= x < x1 of a row: out[k][x] = (KB + FB) + out[k][x]
// for the 36 bins k, summed in double and rounded once, from the last pass's raw records
// (bin k's forward support at records[72 x + k], its backward one at records[72 x + 36 + k]).
// With `outIsZero` the planes are known to hold +0 there and are only written, not read.
using AccumulateBinsFn = void (*)(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero);
void AccumulateBinsScalar(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero);
// Four pixels by four bins at a time, turned around in registers.
void AccumulateBinsAvx2(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero);
AccumulateBinsFn ChooseAccumulateBins();

// The fastest form for `channels` that the processor features in effect allow, besides
// SupportRowSamplesAvx2; `rowSpan` is the largest distance in floats between two record
// rows a pass reads.
SupportRowFn ChooseSupportRow(int32_t channels, int64_t rowSpan);

}  // namespace brevant
