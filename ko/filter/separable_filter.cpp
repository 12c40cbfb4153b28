#include "ko/filter/separable_filter.h"

#include "ko/core/byte_ops.h"
#include "ko/filter/add_scaled_row.h"
#include "ko/platform/cpu_features.h"
#include "ko/platform/memory.h"

namespace ko {
namespace {

HRESULT StoreReversed(CKernel& copy, const CKernel& given) {
  if (given.count <= 0 || !given.taps) return copy.lastError = E_INVALIDARG;
  const HRESULT hr = copy.SetSize(given.count, given.center, nullptr);
  if (hr < 0) return hr;
  for (int32_t k = 0; k < given.count; ++k) copy.taps[k] = given.taps[given.count - 1 - k];
  return S_OK;
}

bool KernelFits(const CKernel& kernel, int32_t extent) {
  return kernel.count > 0 && kernel.taps && kernel.center <= extent && kernel.count - kernel.center <= extent;
}

}  // namespace

CSeparableFilter::CSeparableFilter() : rowCache(0), accRow(0), srcRow(0) {}

HRESULT CSeparableFilter::SetKernels(const CKernel& newRowKernel, const CKernel& newColumnKernel) {
  if (newRowKernel.count != rowKernel.count || newColumnKernel.count != columnKernel.count) cacheValid = false;
  HRESULT hr = StoreReversed(rowKernel, newRowKernel);
  if (hr < 0) {
    cacheValid = false;
    return hr;
  }
  hr = StoreReversed(columnKernel, newColumnKernel);
  if (hr < 0) cacheValid = false;
  return hr;
}

HRESULT CSeparableFilter::SetSteps(int32_t newXStep, int32_t newYStep) {
  if (newXStep <= 0 || newYStep <= 0) return E_INVALIDARG;
  if (newXStep != xStep || newYStep != yStep) cacheValid = false;
  xStep = newXStep;
  yStep = newYStep;
  return S_OK;
}

HRESULT CSeparableFilter::Apply(const CImg& src, CImg& dst, int32_t border) {
  if (!src.HasMemory() || !dst.HasMemory() || src.bands != dst.bands || src.bands <= 0 ||
      src.elementSize != 4 || dst.elementSize != 4 || dst.width <= 0 || dst.height <= 0)
    return E_INVALIDARG;
  if (border != BorderSkip && border != BorderWrap && border != BorderClamp) return E_INVALIDARG;
  const int64_t wideW = static_cast<int64_t>(dst.width) * xStep;
  const int64_t wideH = static_cast<int64_t>(dst.height) * yStep;
  if (wideW > src.width || wideH > src.height) return E_INVALIDARG;
  const auto width = static_cast<int32_t>(wideW);
  const auto height = static_cast<int32_t>(wideH);
  if (!KernelFits(rowKernel, src.width) || !KernelFits(columnKernel, src.height)) return E_INVALIDARG;

  const int32_t bands = src.bands;
  const int32_t outWidth = dst.width;
  const int32_t cacheRows = height < columnKernel.count ? height : columnKernel.count;
  const bool cacheFits = rowCache.HasMemory() && rowCache.width >= outWidth && rowCache.height >= cacheRows &&
                         rowCache.bands == bands && srcRow.HasMemory() && srcRow.width >= width &&
                         srcRow.bands == bands && accRow.HasMemory() && accRow.width >= outWidth &&
                         accRow.bands == bands && cacheTags;
  if (!cacheValid || !cacheFits) {
    cacheValid = false;
    cacheTags.reset();
    if (rowCache.Create(outWidth, cacheRows, bands, 4, rowCache.type, kAlignRows128) < 0 ||
        accRow.Create(outWidth, 1, bands, 4, accRow.type, kAlignRows128) < 0 ||
        srcRow.Create(width, 1, bands, 4, srcRow.type, kAlignRows16) < 0)
      return E_OUTOFMEMORY;
    cacheTags.reset(KoNewArray<int32_t>(static_cast<size_t>(cacheRows)));
    if (!cacheTags) return E_OUTOFMEMORY;
    cacheValid = true;
  }
  for (int32_t slot = 0; slot < cacheRows; ++slot) cacheTags[slot] = -1;
  int32_t nextSlot = 0;

  // The vector row filters read an aligned float row in place; anything else is copied into
  // the aligned scratch row first.
  const bool vectorRows = (bands == 1 || bands == 4) && GetCpuFeatures().sse2;
  const bool readInPlace = (src.alignMode == kAlignRows16 || src.alignMode == kAlignRows128) &&
                           ElementTypeOf(src.type) == kElemFloat;
  const int32_t rowFloats = outWidth * bands;
  float* acc = accRow.Row(0);
  for (int64_t o = 0, y = 0; y < height; ++o, y += yStep) {
    FillBytes(acc, 0, static_cast<size_t>(rowFloats) * sizeof(float));
    for (int32_t j = 0; j < columnKernel.count; ++j) {
      int64_t v = 0;
      if (!ResolveBorder(y + j - columnKernel.center, height, border, &v)) continue;
      int32_t slot = 0;
      while (slot < cacheRows && cacheTags[slot] != v) ++slot;
      if (slot == cacheRows) {
        slot = nextSlot;
        nextSlot = (nextSlot + 1) % cacheRows;
        cacheTags[slot] = static_cast<int32_t>(v);
        const float* sourceRow = reinterpret_cast<const float*>(src.RowPtr(static_cast<int32_t>(v)));
        if (vectorRows && !readInPlace) {
          CopyBytes(srcRow.Row(0), sourceRow, static_cast<size_t>(width) * bands * sizeof(float));
          sourceRow = srcRow.Row(0);
        }
        FilterRow(sourceRow, rowCache.Row(slot), rowKernel, width, bands, xStep, border);
      }
      AddScaledRow(rowCache.Row(slot), acc, columnKernel.taps[j], rowFloats);
    }
    CopyBytes(dst.RowPtr(static_cast<int32_t>(o)), acc, static_cast<size_t>(rowFloats) * sizeof(float));
  }
  return S_OK;
}

HRESULT FilterImage(const CImg& src, CImg& dst, const CKernel& rowKernel, const CKernel& columnKernel,
                    int32_t border) {
  if (!dst.HasMemory() || dst.width <= 0 || dst.height <= 0) return E_INVALIDARG;
  CSeparableFilter filter;
  HRESULT hr = filter.SetKernels(rowKernel, columnKernel);
  if (hr < 0) return hr;
  hr = filter.SetSteps(src.width / dst.width, src.height / dst.height);
  if (hr < 0) return hr;
  return filter.Apply(src, dst, border);
}

}  // namespace ko
