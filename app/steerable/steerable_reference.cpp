// The reference form of the steerable filters: each basis filter's horizontal pass into a
// whole plane, its vertical pass into a whole response plane, then the combination pixel by
// pixel. Slow and plain on purpose: the fast form is tested against it.
#include <algorithm>

#include "app/float_math.h"
#include "app/lanes/lanes.h"
#include "app/steerable/steerable.h"
#include "app/steerable/steerable_kernels.h"

namespace brevant {
namespace {

namespace rule {
#include "app/steerable/steerable_rule.h"
}  // namespace rule

using L = lanes::Scalar;

// T(x, y) = sum over u in [x - r, x + r] inside the row of kernel[u - x + r] * In(u, y).
void HorizontalPass(const ko::CTypedImg<float>& in, ko::CTypedImg<float>& out, const float* kernel,
                    int32_t radius) {
  const int32_t w = in.width;
  for (int32_t y = 0; y < in.height; ++y) {
    const float* src = in.Row(y);
    float* dst = out.Row(y);
    for (int32_t x = 0; x < w; ++x) {
      const int32_t lo = std::max(0, x - radius);
      const int32_t hi = std::min(w - 1, x + radius);
      const float* k = kernel + (lo - x + radius);
      double acc = 0.0;
      for (int32_t u = lo; u <= hi; ++u) acc = rule::TapStep<L>(acc, k[u - lo], src[u]);
      dst[x] = static_cast<float>(acc);
    }
  }
}

// R(x, y) = sum over v in [y - r, y + r] inside the image of kernel[v - y + r] * T(x, v),
// summed a whole row at a time in increasing v, which keeps each pixel's order.
void VerticalPass(const ko::CTypedImg<float>& in, ko::CTypedImg<float>& out, const float* kernel,
                  int32_t radius) {
  const int32_t w = in.width;
  const int32_t h = in.height;
  for (int32_t y = 0; y < h; ++y) {
    float* dst = out.Row(y);
    std::fill(dst, dst + w, 0.0f);
    const int32_t lo = std::max(0, y - radius);
    const int32_t hi = std::min(h - 1, y + radius);
    for (int32_t v = lo; v <= hi; ++v) {
      const float tap = kernel[v - y + radius];
      const float* src = in.Row(v);
      for (int32_t x = 0; x < w; ++x) dst[x] = static_cast<float>(rule::TapStep<L>(dst[x], tap, src[x]));
    }
  }
}

}  // namespace

ko::HRESULT ComputeSteerableEnergyReference(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
                                            ko::CTypedImg<float> orientation) {
  const ko::HRESULT valid = CheckSteerableArguments(sigma, input, energy, orientation);
  if (valid < 0) return valid;
  const int32_t w = input.width;
  const int32_t h = input.height;

  SSteerableKernels k;
  const ko::HRESULT built = BuildSteerableKernels(sigma, &k);
  if (built < 0) return built;
  const int32_t r = k.radius;

  ko::CTypedImg<float> response[kBasisFilters];
  ko::CTypedImg<float> temp;
  for (ko::CTypedImg<float>& plane : response)
    if (plane.Create(w, h, 1, 4, plane.type, 0) < 0) return ko::E_OUTOFMEMORY;
  if (temp.Create(w, h, 1, 4, temp.type, 0) < 0) return ko::E_OUTOFMEMORY;
  energy.Clear();
  orientation.Clear();

  for (int i = 0; i < kBasisFilters; ++i) {
    HorizontalPass(input, temp, (k.*kBasisKernels[i][0]).taps, r);
    VerticalPass(temp, response[i], (k.*kBasisKernels[i][1]).taps, r);
  }

  for (int32_t y = r; y < h - r; ++y) {
    const float* rows[kBasisFilters];
    for (int i = 0; i < kBasisFilters; ++i) rows[i] = response[i].Row(y);
    float* energyRow = energy.Row(y);
    float* orientationRow = orientation.Row(y);
    for (int32_t x = r; x < w - r; ++x) {
      energyRow[x] = rule::OrientedEnergy<L>(rows[0][x], rows[1][x], rows[2][x], rows[3][x], rows[4][x], rows[5][x],
                                             rows[6][x]);
      orientationRow[x] = rule::Orientation(rows[3][x], rows[6][x]);
    }
  }
  return ko::S_OK;
}

}  // namespace brevant
