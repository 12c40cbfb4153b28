#include "ko/filter/gaussian_kernel.h"

#include <cmath>

#include "ko/filter/gaussian.h"

namespace ko {
namespace {

// The antiderivative of the order-th derivative of the normal density (order 1..4).
double DerivativeAntiderivative(double x, int32_t order, double sigma) {
  const double g = Gaussian(x, sigma);
  const double m = 1.0 / (sigma * sigma);
  switch (order) {
    case 1: return g;
    case 2: return -x * g * m;
    case 3: return (x * x * m - 1.0) * g * m;
    default: return (3.0 * x - x * x * x * m) * g * (m * m);
  }
}

// 2 * radius + 1 must stay a valid tap count.
constexpr double kMaxRadius = (INT32_MAX - 1) / 2;

}  // namespace

HRESULT CGaussianKernel::Build(float newSigma, int32_t newOrder, float widthFactor) {
  if (!(newSigma >= 0.0f) || static_cast<uint32_t>(newOrder) > 4 || !(widthFactor >= 1.0f) ||
      (newSigma == 0.0f && newOrder > 0) || !std::isfinite(newSigma) || !std::isfinite(widthFactor))
    return E_INVALIDARG;
  sigma = newSigma;
  order = newOrder;
  const double reach = static_cast<double>(newSigma) * widthFactor;
  if (reach > kMaxRadius) return lastError = E_OUTOFMEMORY;  // no such kernel fits in memory
  int32_t radius = static_cast<int32_t>(reach);
  if (radius < 1) radius = 1;
  const HRESULT hr = SetSize(2 * radius + 1, radius, nullptr);
  if (hr < 0) return hr;
  if (newSigma == 0.0f) return S_OK;

  const double s = newSigma;
  if (newOrder == 0) {
    const double s2 = s * 1.4142135623730951;
    float sum = 0.0f;
    for (int32_t i = -radius; i <= radius; ++i) {
      const float tap = static_cast<float>(0.5 * (Erf((i + 0.5) / s2) - Erf((i - 0.5) / s2)));
      taps[i + radius] = tap;
      sum += tap;
    }
    for (int32_t k = 0; k < count; ++k) taps[k] /= sum;
  } else {
    for (int32_t i = -radius; i <= radius; ++i)
      taps[i + radius] = static_cast<float>(DerivativeAntiderivative(i + 0.5, newOrder, s) -
                                            DerivativeAntiderivative(i - 0.5, newOrder, s));
  }
  return S_OK;
}

}  // namespace ko
