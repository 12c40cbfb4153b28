// The reference form of the contrast normalisation: the squares, both smoothed planes and
// the result made whole, one after the other, with the library's separable filter.
#include <algorithm>

#include "app/contrast/contrast.h"
#include "app/float_plane.h"
#include "app/lanes/lanes.h"
#include "ko/filter/separable_filter.h"

namespace brevant {
namespace {

namespace rule {
#include "app/contrast/contrast_rule.h"
}  // namespace rule

// The kernel's reach beyond its centre on the longer side.
int32_t Reach(const ko::CKernel& kernel) {
  return kernel.count - kernel.center > kernel.center ? kernel.count - kernel.center : kernel.center;
}

// Smooths src into dst (same size) with `kernel` along both axes and a replicated border.
// The separable filter refuses images narrower or shorter than the kernel's reach; those are
// first padded with copies of their edge pixels by that reach, which reads exactly the
// values the replicated border would, so the result is the same as for a large image.
ko::HRESULT SmoothClamped(const ko::CTypedImg<float>& src, ko::CTypedImg<float>& dst, const ko::CKernel& kernel) {
  const int32_t reach = Reach(kernel);
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

uint64_t ContrastReferenceBytes(int32_t w, int32_t h) {
  const uint64_t pw = static_cast<uint64_t>(std::max(w, 0)), ph = static_cast<uint64_t>(std::max(h, 0));
  uint64_t bytes = 3 * pw * ph * sizeof(float);  // the squares and both smoothed planes
  constexpr uint64_t kReach = 7;                 // of the 13-tap kernel
  if (pw < kReach || ph < kReach) bytes += 2 * (pw + 2 * kReach) * (ph + 2 * kReach) * sizeof(float);
  return bytes;
}

ko::HRESULT NormalizeLocalContrastReference(CEdgeState& state, ko::CTypedImg<float> energy) {
  if (!IsFloatPlane(energy)) return ko::E_INVALIDARG;
  const int32_t w = energy.width;
  const int32_t h = energy.height;

  ko::CGaussianKernel kernel;
  ko::HRESULT hr = BuildContrastKernel(&kernel);
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
    for (int32_t x = 0; x < w; ++x) out[x] = rule::NormalizedEnergy<lanes::Scalar>(b[x], m1[x], m2[x]);
  }
  return ko::S_OK;
}

}  // namespace brevant
