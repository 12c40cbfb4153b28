// Kernels sampled from a Gaussian or one of its first four derivatives. Each tap is the
// exact integral of the continuous function over its pixel [i - 0.5, i + 0.5], so that
// narrow kernels stay accurate.
#pragma once
#include <cstdint>

#include "ko/filter/kernel.h"

namespace ko {

class CGaussianKernel : public CKernel {
 public:
  // Radius trunc(sigma * widthFactor), at least 1; 2 * radius + 1 taps centred on the middle.
  // Order 0 is normalised to sum 1 (sigma 0 gives {0, 1, 0}); orders 1 to 4 are not
  // normalised, and their taps are those of the derivative itself, so order 1 has positive
  // taps at negative offsets. E_INVALIDARG (kernel, sigma and order unchanged, nothing
  // recorded) for sigma < 0, order outside 0..4, widthFactor < 1, sigma 0 with order > 0,
  // or values that are not finite; E_OUTOFMEMORY from SetSize.
  HRESULT Build(float sigma, int32_t order, float widthFactor);

  float sigma = 0.0f;
  int32_t order = 0;
};

}  // namespace ko
