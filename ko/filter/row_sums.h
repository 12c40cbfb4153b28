// Weighted sums of float rows in single precision, the two halves of a separable filter
// laid out for streaming: each product is rounded to float, then added to the running sum,
// which starts at 0 and takes the terms in the order given. Every form gives the same bits
// as the scalar one; the dispatchers choose by the processor features in effect.
#pragma once
#include <cstdint>

namespace ko {

// out[x] = taps[0] padded[x] + taps[1] padded[x + 1] + ... + taps[n - 1] padded[x + n - 1]
// for 0 <= x < width: a correlation along a row that already carries its border.
void FilterPaddedRow(const float* padded, const float* taps, int32_t n, int32_t width, float* out);
void FilterPaddedRowScalar(const float* padded, const float* taps, int32_t n, int32_t width, float* out);
void FilterPaddedRowSse2(const float* padded, const float* taps, int32_t n, int32_t width, float* out);
void FilterPaddedRowAvx2(const float* padded, const float* taps, int32_t n, int32_t width, float* out);

// out[x] = weights[0] rows[0][x] + weights[1] rows[1][x] + ... for 0 <= x < width: the column
// pass, one output row from n filtered rows, kept in registers instead of a row in memory.
void SumScaledRows(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out);
void SumScaledRowsScalar(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out);
void SumScaledRowsSse2(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out);
void SumScaledRowsAvx2(const float* const* rows, const float* weights, int32_t n, int32_t width, float* out);

}  // namespace ko
