// The exponential of the refinement's orientation weight, w = exp(q) with q = delta^2 / -(pi / 5)
// rounded to float: the C library's double exp of the widened q, rounded to float. A vector
// form computes it for q in [-4, 0], where every q the weight can meet lies (delta is in
// [0, pi / 2]); a test compares it with the library for every float there. Each lane whose
// result lies too close to the middle between two floats to be sure of the rounding, and
// every q outside that range (NaN too), is handed to the library.
#pragma once
#include <cstdint>

namespace brevant {

// out[i] = (float)exp((double)q[i]) for i < n.
using WeightExpFn = void (*)(const float* q, float* out, int32_t n);

// The library's exp, lane by lane.
void WeightExpLibrary(const float* q, float* out, int32_t n);
// The same values, four lanes at a time (AVX2) or eight (AVX-512); only where the processor has
// them.
void WeightExpAvx2(const float* q, float* out, int32_t n);
void WeightExpAvx512(const float* q, float* out, int32_t n);

}  // namespace brevant
