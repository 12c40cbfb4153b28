// The row kernels of the fast contrast normalisation at each lane width, chosen once for a
// set of processor features: the normalisation itself, and the library's row filter and
// column sum for the 13-tap smoothing.
#pragma once
#include <cstdint>

#include "ko/platform/cpu_features.h"

namespace brevant {

// out[x] = the normalised energy of b[x] with local means mean[x] and meanSquare[x].
using NormalizeRowFn = void (*)(const float* b, const float* mean, const float* meanSquare, int32_t count, float* out);
// The library's kernels of a separable float filter (ko/filter/row_sums.h).
using FilterPaddedRowFn = void (*)(const float* padded, const float* taps, int32_t n, int32_t width, float* out);
using SumScaledRowsFn = void (*)(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out);

struct SContrastLanes {
  NormalizeRowFn normalizeRow = nullptr;
  FilterPaddedRowFn filterPaddedRow = nullptr;
  SumScaledRowsFn sumScaledRows = nullptr;
};

SContrastLanes ContrastLanesFor(const ko::CpuFeatures& cpu);

}  // namespace brevant
