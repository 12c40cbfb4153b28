// The fast form of the local contrast normalisation. Bands of rows are streamed: each row of
// the two planes to smooth (the energy and its square) is filtered along x, with its
// replicated border, into a ring of the last thirteen rows, and each output row is then
// summed down the ring and normalised at once; the squares and the smoothed planes never
// exist whole. The bands spread over the worker threads (each starts by filtering the rows
// above it once more); every sum and every normalisation is the plain form's, in its order.
#include <algorithm>
#include <new>

#include "app/contrast_normalization.h"
#include "app/float_math.h"
#include "app/float_plane.h"
#include "app/thread_pool.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/filter/row_sums.h"
#include "ko/platform/cpu_features.h"
#include "ko/platform/memory.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BREVANT_X86 1
#endif

namespace brevant {
namespace {

constexpr int32_t kRowsPerTask = 256;
constexpr int32_t kRowsPerBlock = 32;     // output rows summed down a column chunk at a time
constexpr int32_t kColumnsPerChunk = 128;  // the chunk's filtered rows stay in the first cache

// The plain normalisation of one pixel.
inline float Normalized(float b, float mean, float meanSquare) {
  const double m = mean;
  const double var = meanSquare - m * m;
  const float v = static_cast<float>(!(var < 100.0) ? var : 100.0);
  const float d = SqrtF(v);
  const float z = static_cast<float>((b - m) / d * 150.0);
  return !(z < 0.0f) ? z : 0.0f;
}

void NormalizeRowScalar(const float* b, const float* m1, const float* m2, int32_t count, float* out) {
  for (int32_t x = 0; x < count; ++x) out[x] = Normalized(b[x], m1[x], m2[x]);
}

#if defined(BREVANT_X86)
// Four pixels in double lanes; the comparisons are "not below" as in the plain form, so
// that a NaN variance or result is kept.
__attribute__((target("avx2"))) void NormalizeRowAvx2(const float* b, const float* m1, const float* m2,
                                                      int32_t count, float* out) {
  const __m256d hundred = _mm256_set1_pd(100.0), scale = _mm256_set1_pd(150.0);
  int32_t x = 0;
  for (; x + 4 <= count; x += 4) {
    const __m256d m = _mm256_cvtps_pd(_mm_loadu_ps(m1 + x));
    const __m256d var = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(m2 + x)), _mm256_mul_pd(m, m));
    const __m256d floor = _mm256_blendv_pd(var, hundred, _mm256_cmp_pd(var, hundred, _CMP_LT_OQ));
    const __m256d v = _mm256_cvtps_pd(_mm256_cvtpd_ps(floor));
    const __m256d d = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_sqrt_pd(v)));
    const __m256d bd = _mm256_cvtps_pd(_mm_loadu_ps(b + x));
    const __m128 z = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_div_pd(_mm256_sub_pd(bd, m), d), scale));
    const __m128 negative = _mm_cmplt_ps(z, _mm_setzero_ps());
    _mm_storeu_ps(out + x, _mm_andnot_ps(negative, z));
  }
  NormalizeRowScalar(b + x, m1 + x, m2 + x, count - x, out + x);
}
#else
void NormalizeRowAvx2(const float* b, const float* m1, const float* m2, int32_t count, float* out) {
  NormalizeRowScalar(b, m1, m2, count, out);
}
#endif

class CNormalizer {
 public:
  // With `mean` and `meanSquares`, the smoothed planes are stored there instead.
  CNormalizer(const ko::CTypedImg<float>& energy, ko::CTypedImg<float>* normalized, ko::CTypedImg<float>* mean,
              ko::CTypedImg<float>* meanSquares)
      : b_(energy), n_(normalized), mean_(mean), meanSquares_(meanSquares), w_(energy.width), h_(energy.height) {}
  ~CNormalizer() {
    ko::KoFree(scratch_);
    ko::KoFree(taps_);
  }

  ko::HRESULT Prepare(const ko::CKernel& kernel, int32_t slots);
  void Run(CThreadPool& pool);

 private:
  // Ring rows a cache line longer than the image's, so that the thirteen rows a sum reads
  // do not all fall on the same cache sets.
  size_t RingStride() const { return static_cast<size_t>(w_) + 16; }
  void FilterRow(int32_t y, float* padded, float* energyOut, float* squaresOut) const;
  void Band(int32_t y0, int32_t y1, float* scratch) const;

  const ko::CTypedImg<float>& b_;
  ko::CTypedImg<float>* n_;
  ko::CTypedImg<float>* mean_;
  ko::CTypedImg<float>* meanSquares_;
  const int32_t w_, h_;
  int32_t count_ = 0, center_ = 0, ringRows_ = 0;
  float* taps_ = nullptr;     // the kernel reversed, as the separable filter applies it
  float* scratch_ = nullptr;  // per thread slot: the rings, a padded row, two output chunks
  size_t scratchFloats_ = 0;
  void (*normalize_)(const float*, const float*, const float*, int32_t, float*) = nullptr;
};

ko::HRESULT CNormalizer::Prepare(const ko::CKernel& kernel, int32_t slots) {
  count_ = kernel.count;
  center_ = kernel.center;
  taps_ = static_cast<float*>(ko::KoMalloc(static_cast<size_t>(count_) * sizeof(float)));
  if (!taps_) return ko::E_OUTOFMEMORY;
  for (int32_t k = 0; k < count_; ++k) taps_[k] = kernel.taps[count_ - 1 - k];
  const size_t w = RingStride(), n = static_cast<size_t>(count_);
  ringRows_ = kRowsPerBlock + count_ - 1;
  scratchFloats_ = 2 * static_cast<size_t>(ringRows_) * w + (w + n) + 2 * static_cast<size_t>(kColumnsPerChunk);
  if (scratchFloats_ > SIZE_MAX / sizeof(float) / static_cast<size_t>(slots)) return ko::E_OUTOFMEMORY;
  scratch_ = static_cast<float*>(ko::KoCalloc(scratchFloats_ * static_cast<size_t>(slots) * sizeof(float)));
  if (!scratch_) return ko::E_OUTOFMEMORY;
  normalize_ = ko::GetCpuFeatures().avx2 ? NormalizeRowAvx2 : NormalizeRowScalar;
  return ko::S_OK;
}

// Row y of both planes along x, the border replicated: sample u of the row is pixel
// clamp(u) for u from -center to W - 1 + count - 1 - center.
void CNormalizer::FilterRow(int32_t y, float* padded, float* energyOut, float* squaresOut) const {
  const int32_t before = center_, after = count_ - 1 - center_;
  const float* b = b_.Row(y);
  for (int32_t i = 0; i < before; ++i) padded[i] = b[0];
  std::copy(b, b + w_, padded + before);
  for (int32_t i = 0; i < after; ++i) padded[before + w_ + i] = b[w_ - 1];
  ko::FilterPaddedRow(padded, taps_, count_, w_, energyOut);
  const int32_t total = before + w_ + after;
  for (int32_t i = 0; i < total; ++i) padded[i] = padded[i] * padded[i];
  ko::FilterPaddedRow(padded, taps_, count_, w_, squaresOut);
}

// Output rows [y0, y1): blocks of rows, each first filtered along x into the ring (slot of
// row v: (v - first) mod ringRows), then summed down one column chunk at a time.
void CNormalizer::Band(int32_t y0, int32_t y1, float* scratch) const {
  const size_t w = RingStride(), n = static_cast<size_t>(count_);
  const size_t ring = static_cast<size_t>(ringRows_);
  float* energyRing = scratch;
  float* squareRing = scratch + ring * w;
  float* padded = scratch + 2 * ring * w;
  float* mean = padded + w + n;
  float* meanSquare = mean + kColumnsPerChunk;
  const int32_t after = count_ - 1 - center_;
  const int32_t first = y0 - center_;  // the first row any output of the band reads
  int32_t filtered = first;            // rows [first, filtered) are in the ring
  const float* sources[64];
  const float* squareSources[64];
  for (int32_t b0 = y0; b0 < y1; b0 += kRowsPerBlock) {
    const int32_t b1 = std::min(y1, b0 + kRowsPerBlock);
    for (; filtered < b1 + after; ++filtered) {
      const size_t slot = static_cast<size_t>((filtered - first) % ringRows_);
      FilterRow(std::clamp(filtered, 0, h_ - 1), padded, energyRing + slot * w, squareRing + slot * w);
    }
    for (int32_t x0 = 0; x0 < w_; x0 += kColumnsPerChunk) {
      const int32_t count = std::min(kColumnsPerChunk, w_ - x0);
      for (int32_t y = b0; y < b1; ++y) {
        for (int32_t j = 0; j < count_; ++j) {
          const size_t slot = static_cast<size_t>((y - center_ + j - first) % ringRows_);
          sources[j] = energyRing + slot * w + x0;
          squareSources[j] = squareRing + slot * w + x0;
        }
        float* m1 = mean_ ? mean_->Row(y) + x0 : mean;
        float* m2 = mean_ ? meanSquares_->Row(y) + x0 : meanSquare;
        ko::SumScaledRows(squareSources, taps_, count_, count, m2);
        ko::SumScaledRows(sources, taps_, count_, count, m1);
        if (!mean_) normalize_(b_.Row(y) + x0, m1, m2, count, n_->Row(y) + x0);
      }
    }
  }
}

void CNormalizer::Run(CThreadPool& pool) {
  const int64_t tasks = (h_ + kRowsPerTask - 1) / kRowsPerTask;
  pool.ParallelFor(tasks, [&](int64_t i, int32_t slot) {
    const int32_t y0 = static_cast<int32_t>(i) * kRowsPerTask;
    Band(y0, std::min(h_, y0 + kRowsPerTask), scratch_ + scratchFloats_ * static_cast<size_t>(slot));
  });
}

}  // namespace

ko::HRESULT NormalizeLocalContrastFast(CEdgeState& state, ko::CTypedImg<float> energy) {
  if (!IsFloatPlane(energy)) return ko::E_INVALIDARG;
  const int32_t w = energy.width;
  const int32_t h = energy.height;
  ko::CGaussianKernel kernel;
  const ko::HRESULT built = kernel.Build(2.0f, 0, 3.0f);
  if (built < 0) return built;
  if (kernel.count > 64) return ko::E_INVALIDARG;  // the kernel of sigma 2 has 13 taps
  ko::CTypedImg<float>& normalized = state.normalized;
  if (!normalized.HasMemory() || normalized.width != w || normalized.height != h || normalized.bands != 1) {
    if (normalized.Create(w, h, 1, 4, normalized.type, 0) < 0) return ko::E_OUTOFMEMORY;
  }
  CThreadPool& pool = WorkerPool();
  CNormalizer normalizer(energy, &normalized, nullptr, nullptr);
  const ko::HRESULT hr = normalizer.Prepare(kernel, pool.Threads());
  if (hr < 0) return hr;
  normalizer.Run(pool);
  return ko::S_OK;
}

}  // namespace brevant

namespace brevant {

ko::HRESULT SmoothForContrastFast(const ko::CTypedImg<float>& energy, ko::CTypedImg<float>& mean,
                                  ko::CTypedImg<float>& meanSquares) {
  if (!IsFloatPlane(energy) || !IsFloatPlane(mean) || !IsFloatPlane(meanSquares) || mean.width != energy.width ||
      mean.height != energy.height || meanSquares.width != energy.width || meanSquares.height != energy.height)
    return ko::E_INVALIDARG;
  ko::CGaussianKernel kernel;
  const ko::HRESULT built = kernel.Build(2.0f, 0, 3.0f);
  if (built < 0) return built;
  CThreadPool& pool = WorkerPool();
  CNormalizer smoother(energy, nullptr, &mean, &meanSquares);
  const ko::HRESULT hr = smoother.Prepare(kernel, pool.Threads());
  if (hr < 0) return hr;
  smoother.Run(pool);
  return ko::S_OK;
}

}  // namespace brevant
