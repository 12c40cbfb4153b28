#include "app/steerable/steerable_kernels.h"

#include "app/float_math.h"

namespace brevant {

ko::HRESULT BuildSteerableKernels(float sigma, SSteerableKernels* kernels) {
  const int32_t r = static_cast<int32_t>(2.0f * sigma);
  kernels->radius = r;
  kernels->step = static_cast<float>(static_cast<double>(2.68f) / sigma);
  ko::CKernel* const all[] = {&kernels->a, &kernels->g, &kernels->b, &kernels->c, &kernels->d, &kernels->f};
  for (ko::CKernel* k : all) {
    const ko::HRESULT hr = k->SetSize(2 * r + 1, r, nullptr);
    if (hr < 0) return hr;
  }
  const double s = kernels->step;
  const double c1 = 1.3576f, c2 = 2.254f, c3 = 0.978f;
  for (int32_t i = -r; i <= r; ++i) {
    const int32_t t = i + r;
    const float x = static_cast<float>(i * s);
    const double q = static_cast<double>(x) * x;
    const double e = ExpF(static_cast<float>(-q));
    kernels->a.taps[t] = static_cast<float>(0.9213 * (2.0 * q - 1.0) * e);
    kernels->g.taps[t] = static_cast<float>(e);
    kernels->b.taps[t] = static_cast<float>(c1 * x * e);
    kernels->c.taps[t] = static_cast<float>(c3 * (x * q - c2 * x) * e);
    kernels->d.taps[t] = static_cast<float>(x * e);
    kernels->f.taps[t] = static_cast<float>(c3 * (q - 0.7515) * e);
  }
  float norm = 0.0f;
  for (int32_t t = 0; t < 2 * r + 1; ++t) norm += FabsF(kernels->g.taps[t]);
  kernels->norm = norm;
  for (ko::CKernel* k : all)
    for (int32_t t = 0; t < k->count; ++t) k->taps[t] /= norm;
  return ko::S_OK;
}

}  // namespace brevant
