#include "app/contrast_normalization.h"

#include <algorithm>

#include "app/float_math.h"
#include "app/float_plane.h"
#include "app/pipeline_options.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/filter/separable_filter.h"

namespace brevant {
namespace {

// Smooths src into dst (same size) with `kernel` along both axes and a replicated border.
// The separable filter refuses images narrower or shorter than the kernel's reach; those are
// first padded with copies of their edge pixels by that reach, which reads exactly the
// values the replicated border would, so the result is the same as for a large image.
ko::HRESULT SmoothClamped(const ko::CTypedImg<float>& src, ko::CTypedImg<float>& dst, const ko::CKernel& kernel) {
  const int32_t reach = kernel.count - kernel.center > kernel.center ? kernel.count - kernel.center : kernel.center;
  if (src.width >= reach && src.height >= reach)
    return ko::FilterImage(src, dst, kernel, kernel, ko::BorderClamp);
  const int32_t w = src.width;
  const int32_t h = src.height;
  ko::CTypedImg<float> padded, smoothed;
  if (padded.Create(w + 2 * reach, h + 2 * reach, 1, 4, padded.type, 0) < 0 ||
      smoothed.Create(w + 2 * reach, h + 2 * reach, 1, 4, smoothed.type, 0) < 0)
    return ko::E_OUTOFMEMORY;
  for (int32_t y = 0; y < padded.height; ++y) {
    const float* row = src.Row(std::clamp(y - reach, 0, h - 1));
    float* out = padded.Row(y);
    for (int32_t x = 0; x < padded.width; ++x) out[x] = row[std::clamp(x - reach, 0, w - 1)];
  }
  const ko::HRESULT hr = ko::FilterImage(padded, smoothed, kernel, kernel, ko::BorderClamp);
  if (hr < 0) return hr;
  for (int32_t y = 0; y < h; ++y) {
    const float* row = smoothed.Row(y + reach) + reach;
    std::copy(row, row + w, dst.Row(y));
  }
  return ko::S_OK;
}

}  // namespace

ko::HRESULT NormalizeLocalContrastPlain(CEdgeState& state, ko::CTypedImg<float> energy) {
  if (!IsFloatPlane(energy)) return ko::E_INVALIDARG;
  const int32_t w = energy.width;
  const int32_t h = energy.height;

  ko::CGaussianKernel kernel;
  ko::HRESULT hr = kernel.Build(2.0f, 0, 3.0f);
  if (hr < 0) return hr;

  ko::CTypedImg<float>& normalized = state.normalized;
  if (!normalized.HasMemory() || normalized.width != w || normalized.height != h || normalized.bands != 1) {
    if (normalized.Create(w, h, 1, 4, normalized.type, 0) < 0) return ko::E_OUTOFMEMORY;
  }

  ko::CTypedImg<float> squares, meanSquares, mean;
  if (squares.Create(w, h, 1, 4, squares.type, 0) < 0) return ko::E_OUTOFMEMORY;
  for (int32_t y = 0; y < h; ++y) {
    const float* b = energy.Row(y);
    float* q = squares.Row(y);
    for (int32_t x = 0; x < w; ++x) q[x] = b[x] * b[x];
  }
  if (meanSquares.Create(w, h, 1, 4, meanSquares.type, 0) < 0) return ko::E_OUTOFMEMORY;
  hr = SmoothClamped(squares, meanSquares, kernel);
  if (hr < 0) return hr;
  if (mean.Create(w, h, 1, 4, mean.type, 0) < 0) return ko::E_OUTOFMEMORY;
  hr = SmoothClamped(energy, mean, kernel);
  if (hr < 0) return hr;

  for (int32_t y = 0; y < h; ++y) {
    const float* b = energy.Row(y);
    const float* m1 = mean.Row(y);
    const float* m2 = meanSquares.Row(y);
    float* out = normalized.Row(y);
    for (int32_t x = 0; x < w; ++x) {
      const double m = m1[x];
      const double var = m2[x] - m * m;
      // Written as "not below" so that a NaN variance or result is kept, not replaced.
      const float v = static_cast<float>(!(var < 100.0) ? var : 100.0);
      const float d = SqrtF(v);
      const float z = static_cast<float>((b[x] - m) / d * 150.0);
      out[x] = !(z < 0.0f) ? z : 0.0f;
    }
  }
  return ko::S_OK;
}

ko::HRESULT NormalizeLocalContrast(CEdgeState& state, ko::CTypedImg<float> energy) {
  if (PlainFormsInUse()) return NormalizeLocalContrastPlain(state, energy);
  return NormalizeLocalContrastFast(state, energy);
}

}  // namespace brevant
