#include "bench/yardsticks.h"

#include <cmath>

#include "app/refine/support_sampler.h"

namespace brevant::bench {

void PreparePlainLoop(const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation,
                      SPlainLoopRefinement* r) {
  const int32_t w = energy.width, h = energy.height;
  const size_t n = static_cast<size_t>(w) * h;
  r->w = w;
  r->h = h;
  ko::CTypedImg<float> folded;
  folded.Create(w, h, 1, 0);
  folded.Clear();
  for (int32_t y = 2; y < h - 2; ++y)
    for (int32_t x = 2; x < w - 2; ++x) {
      float theta = orientation.At(x, y);
      if (theta > kPi) theta = static_cast<float>(theta - kPi);
      if (theta < 0.0f) theta = static_cast<float>(theta + kPi);
      folded.At(x, y) = theta;
    }
  for (int s = 0; s < 2; ++s) {
    r->fx[s].assign(n, 0.0f);
    r->fy[s].assign(n, 0.0f);
    for (int i = 0; i < 4; ++i) {
      r->index[s][i].assign(n, 0);
      r->select[s][i].assign(n, 0);
      r->weight[s][i].assign(n, 0.0f);
    }
  }
  r->energy.assign(n, 0.0f);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) r->energy[static_cast<size_t>(y) * w + x] = energy.At(x, y);
  // Border pixels keep a stencil of weight 0 on pixel 0: the loop writes 0 there.
  for (int32_t y = 2; y < h - 2; ++y)
    for (int32_t x = 2; x < w - 2; ++x) {
      const size_t p = static_cast<size_t>(y) * w + x;
      const float theta = folded.At(x, y);
      const double phi = theta + kPi;
      const SSupportGeometry g[2] = {
          PrepareOrientedSupport(Along(std::cos(static_cast<double>(theta)), static_cast<float>(x)),
                                 Along(std::sin(static_cast<double>(theta)), static_cast<float>(y)), theta, folded),
          PrepareOrientedSupport(Along(std::cos(phi), static_cast<float>(x)), Along(std::sin(phi), static_cast<float>(y)),
                                 static_cast<float>(phi), folded)};
      for (int s = 0; s < 2; ++s) {
        r->fx[s][p] = g[s].fx;
        r->fy[s][p] = g[s].fy;
        for (int i = 0; i < 4; ++i) {
          const int32_t q = (g[s].iy + (i >> 1)) * w + g[s].ix + (i & 1);
          r->index[s][i][p] = q;
          r->select[s][i][p] = q + (g[s].backward[i] ? static_cast<int32_t>(n) : 0);
          r->weight[s][i][p] = g[s].weight[i];
        }
      }
    }
  r->support.assign(2 * n, 0.0f);
  for (size_t p = 0; p < n; ++p) r->support[p] = r->support[n + p] = r->energy[p];
  r->nextSupport.assign(2 * n, 0.0f);
}

void PlainLoopPass(SPlainLoopRefinement* r) {
  const int32_t n = r->w * r->h;
  const float* b = r->energy.data();
  const float* sup = r->support.data();
  for (int s = 0; s < 2; ++s) {
    const int32_t* i0 = r->index[s][0].data(); const int32_t* i1 = r->index[s][1].data();
    const int32_t* i2 = r->index[s][2].data(); const int32_t* i3 = r->index[s][3].data();
    const int32_t* s0 = r->select[s][0].data(); const int32_t* s1 = r->select[s][1].data();
    const int32_t* s2 = r->select[s][2].data(); const int32_t* s3 = r->select[s][3].data();
    const float* w0 = r->weight[s][0].data(); const float* w1 = r->weight[s][1].data();
    const float* w2 = r->weight[s][2].data(); const float* w3 = r->weight[s][3].data();
    const float* fxs = r->fx[s].data();
    const float* fys = r->fy[s].data();
    float* out = r->nextSupport.data() + (s == 0 ? 0 : n);
    for (int32_t p = 0; p < n; ++p) {
      const double fx = fxs[p], fy = fys[p];
      const float v0 = w0[p] * (b[i0[p]] + sup[s0[p]]);
      const float v1 = w1[p] * (b[i1[p]] + sup[s1[p]]);
      const float v2 = w2[p] * (b[i2[p]] + sup[s2[p]]);
      const float v3 = w3[p] * (b[i3[p]] + sup[s3[p]]);
      float acc = static_cast<float>(v0 * (1.0 - fx) * (1.0 - fy) + 0.0);
      acc = static_cast<float>(acc + v1 * fx * (1.0 - fy));
      acc = static_cast<float>(acc + v2 * (1.0 - fx) * fy);
      acc = static_cast<float>(acc + v3 * fx * fy);
      out[p] = acc < 0.0f ? 0.0f : acc;
    }
  }
  r->support.swap(r->nextSupport);
}

}  // namespace brevant::bench
