// Filtering of one image row along x: the row filters of the separable convolution.
//
// With the kernel's taps t, centre c and count n, output pixel q (at x = q * xStep, for
// x < width) of band b is the sum over k = 0 .. n - 1, in increasing k, of
// t[k] * sample(x - c + k, b): a correlation with the taps as given (the separable filter
// hands in reversed taps to get a convolution). Samples outside [0, width) follow the border
// rule. The sum is accumulated in single precision, each product rounded to float before it
// is added; every form below gives the same bits.
#pragma once
#include <cstdint>

#include "ko/filter/kernel.h"

namespace ko {

enum BorderRule : int32_t {
  BorderSkip = 0,   // a tap outside the row is left out of the sum
  BorderWrap = 1,   // periodic: position u reads u mod width
  BorderClamp = 2,  // the nearest edge pixel is read
};

// Brings a sample position into [0, n) by the border rule; false when the tap is to be left
// out. Wrap repeats the period as often as needed, so even long kernels stay in range.
inline bool ResolveBorder(int64_t u, int64_t n, int32_t border, int64_t* index) {
  if (u >= 0 && u < n) {
    *index = u;
    return true;
  }
  if (border == BorderClamp) {
    *index = u < 0 ? 0 : n - 1;
    return true;
  }
  if (border == BorderWrap) {
    const int64_t r = u % n;
    *index = r < 0 ? r + n : r;
    return true;
  }
  return false;
}

// Output pixels of a row of `width` source pixels sampled every `xStep`.
inline int64_t FilteredRowLength(int32_t width, int32_t xStep) {
  return (static_cast<int64_t>(width) + xStep - 1) / xStep;
}

// Chooses the member of the family for the band count and the processor: the vector forms
// for 1 band with AVX2 or SSE2 and 4 bands with SSE2, the scalar ones otherwise, the generic
// form for other counts.
void FilterRow(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t bands,
               int32_t xStep, int32_t border);

void FilterRow1Scalar(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                      int32_t border);
void FilterRow1Sse2(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                    int32_t border);
void FilterRow1Avx2(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                    int32_t border);
void FilterRow4Scalar(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                      int32_t border);
void FilterRow4Sse2(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t xStep,
                    int32_t border);
void FilterRowGeneric(const float* source, float* target, const CKernel& kernel, int32_t width, int32_t bands,
                      int32_t xStep, int32_t border);

}  // namespace ko
