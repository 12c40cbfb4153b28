#include "app/steerable_energy.h"

#include <algorithm>
#include <array>
#include <utility>

#include "app/float_math.h"
#include "app/float_plane.h"
#include "app/pipeline_options.h"

namespace brevant {
namespace {

constexpr int kBasisFilters = 7;

// One partial sum of a filter pass: the product is exact in double, the sum is rounded to
// float each time.
inline float AddProduct(float acc, float tap, float pixel) {
  return static_cast<float>(static_cast<double>(acc) + static_cast<double>(tap) * static_cast<double>(pixel));
}

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
      float acc = 0.0f;
      for (int32_t u = lo; u <= hi; ++u) acc = AddProduct(acc, k[u - lo], src[u]);
      dst[x] = acc;
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
      for (int32_t x = 0; x < w; ++x) dst[x] = AddProduct(dst[x], tap, src[x]);
    }
  }
}

bool SameSize(const ko::CImg& a, const ko::CImg& b) { return a.width == b.width && a.height == b.height; }


}  // namespace

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
ko::HRESULT ComputeSteerableEnergyPlain(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
                                   ko::CTypedImg<float> orientation) {
  if (!(sigma > 0.0f) || !(sigma < static_cast<float>(1 << 29))) return ko::E_INVALIDARG;
  if (!IsFloatPlane(input) || !IsFloatPlane(energy) || !IsFloatPlane(orientation) || !SameSize(input, energy) ||
      !SameSize(input, orientation))
    return ko::E_INVALIDARG;
  const int32_t w = input.width;
  const int32_t h = input.height;

  SSteerableKernels k;
  const ko::HRESULT built = BuildSteerableKernels(sigma, &k);
  if (built < 0) return built;
  const int32_t r = k.radius;
  // (horizontal, vertical) kernel of each basis filter: G2a, G2b, G2c, H2a, H2b, H2c, H2d.
  const std::array<std::pair<const float*, const float*>, kBasisFilters> table = {{
      {k.a.taps, k.g.taps},
      {k.b.taps, k.b.taps},
      {k.g.taps, k.a.taps},
      {k.c.taps, k.g.taps},
      {k.f.taps, k.d.taps},
      {k.d.taps, k.f.taps},
      {k.g.taps, k.c.taps},
  }};

  std::array<ko::CTypedImg<float>, kBasisFilters> response;
  ko::CTypedImg<float> temp;
  for (ko::CTypedImg<float>& plane : response)
    if (plane.Create(w, h, 1, 4, plane.type, 0) < 0) return ko::E_OUTOFMEMORY;
  if (temp.Create(w, h, 1, 4, temp.type, 0) < 0) return ko::E_OUTOFMEMORY;
  energy.Clear();
  orientation.Clear();

  for (int i = 0; i < kBasisFilters; ++i) {
    HorizontalPass(input, temp, table[i].first, r);
    VerticalPass(temp, response[i], table[i].second, r);
  }

  for (int32_t y = r; y < h - r; ++y) {
    const float* g2aRow = response[0].Row(y);
    const float* g2bRow = response[1].Row(y);
    const float* g2cRow = response[2].Row(y);
    const float* h2aRow = response[3].Row(y);
    const float* h2bRow = response[4].Row(y);
    const float* h2cRow = response[5].Row(y);
    const float* h2dRow = response[6].Row(y);
    float* energyRow = energy.Row(y);
    float* orientationRow = orientation.Row(y);
    for (int32_t x = r; x < w - r; ++x) {
      const double g2a = g2aRow[x], g2b = g2bRow[x], g2c = g2cRow[x];
      const double h2a = h2aRow[x], h2b = h2bRow[x], h2c = h2cRow[x], h2d = h2dRow[x];
      const float c1 = static_cast<float>(0.5 * (g2a * g2a - g2c * g2c) + 0.46875 * (h2a * h2a - h2d * h2d) +
                                          0.28125 * (h2b * h2b - h2c * h2c) + 0.1875 * (h2a * h2c - h2b * h2d));
      const float c2 = static_cast<float>(-g2a * g2b - g2b * g2c - 0.9375 * (h2a * h2b + h2c * h2d) -
                                          1.6875 * h2b * h2c - 0.1875 * h2a * h2d);
      const float squares = static_cast<float>(static_cast<double>(c1) * c1 + static_cast<double>(c2) * c2);
      energyRow[x] = static_cast<float>(10.0 * SqrtF(SqrtF(squares)));
      orientationRow[x] = static_cast<float>(Atan2F(-h2aRow[x], h2dRow[x]) + kPi);
    }
  }
  return ko::S_OK;
}

ko::HRESULT ComputeSteerableEnergy(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
                                   ko::CTypedImg<float> orientation) {
  if (PlainFormsInUse()) return ComputeSteerableEnergyPlain(sigma, input, energy, orientation);
  return ComputeSteerableEnergyFast(sigma, input, energy, orientation);
}

}  // namespace brevant
