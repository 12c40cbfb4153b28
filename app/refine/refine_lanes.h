// The per-pass kernels of the fast refinement at each lane width, and the choice among them
// for a set of processor features (made once, when a schedule is made).
//
// Records: every pixel of a pass holds the forward support of its C channels, then their
// backward support, each already added to the channel's source value (RecordValue), so
// that a neighbour is one load per channel. The energy has C = 1 (2 floats a pixel; source:
// the normalised energy), the histograms C = 36 (kBinRecord floats; source: the votes).
//
// Every kernel gives, channel by channel, the reference sampler's value to the last bit: its
// arithmetic is the one of support_rule.h.
#pragma once
#include <cstdint>

#include "app/refine/refine_stencil.h"
#include "app/refine/weight_exp.h"
#include "ko/platform/cpu_features.h"

namespace brevant {

constexpr int32_t kRecordRows = 5;  // a pass reads rows y - 2 .. y + 2 of the previous one
// A pixel's histogram record: its forward bins, then its backward bins. (Padding each half
// to 40 floats, so that no load of eight bins crosses a cache line, was measured: no gain.)
constexpr int32_t kBinHalf = 36;
constexpr int32_t kBinRecord = 2 * kBinHalf;

// rows[d]: the previous pass's records of row y - 2 + d. For x0 <= x < x1 (inside the pass
// margin) writes out[2 C x + s C + k] for sample s (0 forward, 1 backward) and channel k,
// from the stencils' fields.
using SupportRowFn = void (*)(const SStencilRow& stencils, const float* const* rows, int32_t channels,
                              int32_t x0, int32_t x1, float* out);
// Any channel count, one value at a time.
void SupportRowScalar(const SStencilRow& stencils, const float* const* rows, int32_t channels, int32_t x0,
                      int32_t x1, float* out);
// One channel, eight pixels at a time, their neighbours gathered. The rows must lie within
// 2^30 floats of rows[2].
void SupportRowEnergyAvx2(const SStencilRow& stencils, const float* const* rows, int32_t channels, int32_t x0,
                          int32_t x1, float* out);

// Both records at once, from the rows' SBinSample (made when the histograms are asked for):
// the energy (energyOut[2 x + s]) from energyRows and the 36 bins (binOut as `out` above)
// from binRows (binOut[kBinRecord x + kBinHalf s + k]), a sample's bins in registers.
using SamplesRowFn = void (*)(const SStencilRow& stencils, const float* const* energyRows,
                              const float* const* binRows, int32_t x0, int32_t x1, float* energyOut, float* binOut);

// The histograms' final step for pixels x0 <= x < x1 of a row: out[k][x] = FinalSum of bin
// k's forward support records[kBinRecord x + k], backward support records[kBinRecord x +
// kBinHalf + k] and
// out[k][x], for the 36 bins k. With `outIsZero` the planes are known to hold +0 there and
// are only written, not read.
using AccumulateBinsFn = void (*)(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero);
void AccumulateBinsScalar(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero);
// Four pixels by four bins at a time, turned around in registers.
void AccumulateBinsAvx2(const float* records, int32_t x0, int32_t x1, float* const* out, bool outIsZero);

struct SRefineLanes {
  SupportRowFn energyRow = nullptr;   // without the histograms (SupportRowScalar for wide rows)
  SamplesRowFn samplesRow = nullptr;  // with them
  AccumulateBinsFn accumulate = nullptr;
  WeightExponentsFn weightExponents = nullptr;  // the stencils' weights
  WeightExpFn weightExp = nullptr;
};

// The fastest forms the features allow.
SRefineLanes RefineLanesFor(const ko::CpuFeatures& cpu);

}  // namespace brevant
