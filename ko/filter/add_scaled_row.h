// target[k] = target[k] + weight * source[k] for k < count, in single precision: the
// product is rounded to float, then the sum. The vector form gives the same bits.
#pragma once
#include <cstdint>

namespace ko {

// Chooses the AVX2 form, else the SSE form, by the processor's features.
void AddScaledRow(const float* source, float* target, float weight, int32_t count);

void AddScaledRowScalar(const float* source, float* target, float weight, int32_t count);
// 16 floats a step (aligned loads when both rows are 16-aligned), then scalar groups of
// four and single floats.
void AddScaledRowSse(const float* source, float* target, float weight, int32_t count);
// 32 floats a step in eight-float vectors (AVX2), then scalar groups of four and singles.
void AddScaledRowAvx2(const float* source, float* target, float weight, int32_t count);

}  // namespace ko
