// Separable convolution of float images: a row kernel along x, a column kernel along y,
// optional subsampling by whole steps, and one of three border rules (filter_row.h).
//
// The filter stores reversed copies of the kernels and then correlates, so it computes a
// true convolution: with taps t and centre c, output(x) = sum over i of t[c + i] * sample(x - i)
// for a centred kernel. Each source row the column kernel needs is filtered along x once into
// a small ring of cached rows; each output row is then the weighted sum of cached rows.
#pragma once
#include <cstdint>
#include <memory>

#include "ko/core/img.h"
#include "ko/filter/filter_row.h"
#include "ko/filter/kernel.h"

namespace ko {

class CSeparableFilter {
 public:
  CSeparableFilter();
  CSeparableFilter(const CSeparableFilter&) = delete;
  CSeparableFilter& operator=(const CSeparableFilter&) = delete;

  // Stores reversed copies of both kernels; E_INVALIDARG for an empty kernel, E_OUTOFMEMORY.
  HRESULT SetKernels(const CKernel& rowKernel, const CKernel& columnKernel);
  // Steps of at least 1; E_INVALIDARG otherwise.
  HRESULT SetSteps(int32_t newXStep, int32_t newYStep);
  // Filters src into dst, whose size defines the output: dst pixel (q, o) is the filtered
  // value at source position (q * xStep, o * yStep), with the filtered extent
  // W = dst.width * xStep, H = dst.height * yStep as the period and edges of the border rule.
  // E_INVALIDARG (dst unchanged) unless both images have memory, 4-byte elements and the same
  // band count, W and H fit the source, the kernels fit the source, and border is one of the
  // three rules; E_OUTOFMEMORY when the row cache cannot be allocated.
  HRESULT Apply(const CImg& src, CImg& dst, int32_t border);

  bool cacheValid = false;
  int32_t xStep = 1;
  int32_t yStep = 1;
  CKernel rowKernel;
  CKernel columnKernel;
  CTypedImg<float> rowCache;
  CTypedImg<float> accRow;
  CTypedImg<float> srcRow;
  std::unique_ptr<int32_t[]> cacheTags;  // per cache row, the source row it holds or -1
};

// Filters src into dst (which must have memory; its size gives the steps
// src.width / dst.width and src.height / dst.height) with one filter object made for the
// call. E_INVALIDARG for a destination without memory or a zero dimension, else the first
// failure of SetKernels, SetSteps and Apply.
HRESULT FilterImage(const CImg& src, CImg& dst, const CKernel& rowKernel, const CKernel& columnKernel,
                    int32_t border);

}  // namespace ko
