// The row kernels of the fast steerable filters at each lane width, and the choice among
// them for a set of processor features (made once, when a schedule is made).
#pragma once
#include <cstdint>

#include "ko/platform/cpu_features.h"

namespace brevant {

// out[x] = taps[0] src[0][x] + ... + taps[m - 1] src[m - 1][x] for x in [0, count), each
// partial sum rounded to float.
using SumRowsFn = void (*)(const double* const* src, const double* taps, int32_t m, int32_t count, double* out);
// Energy and orientation of [0, count) from the seven responses r[0..6] of those positions.
using CombineRowFn = void (*)(const double* const* r, int32_t count, float* energy, float* orientation);

struct SSteerableLanes {
  SumRowsFn sumRows = nullptr;
  CombineRowFn combineRow = nullptr;
  int32_t lanes = 1;  // doubles a register
};

// The widest form the features allow: AVX-512, AVX2, SSE2 or scalar.
SSteerableLanes SteerableLanesFor(const ko::CpuFeatures& cpu);

}  // namespace brevant
