// The fast form of the local contrast normalisation. Bands of rows are streamed: each row of
// the two planes to smooth (the energy and its square) is filtered along x, with its
// replicated border, into a ring of the rows a block of output rows needs, and each output
// row is then summed down the ring and normalised at once; the squares and the smoothed
// planes never exist whole. The bands spread over the schedule's threads (each starts by
// filtering the rows above it once more); every sum and every normalisation is the
// reference form's, in its order.
#include <algorithm>
#include <new>

#include "app/contrast/contrast.h"
#include "app/float_plane.h"
#include "ko/platform/ko_buffer.h"

namespace brevant {
namespace {

constexpr int32_t kRowsPerTask = 256;
constexpr int32_t kRowsPerBlock = 32;      // output rows summed down a column chunk at a time
constexpr int32_t kColumnsPerChunk = 128;  // the chunk's filtered rows stay in the first cache
constexpr int32_t kMaxTaps = 64;           // the kernel of sigma 2 has 13

// Floats of one thread's scratch for rows w wide and a kernel of n taps: the two rings, a
// padded row and two output chunks. Ring rows are a cache line longer than the image's, so
// that the rows a sum reads do not all fall on the same cache sets.
size_t RingStride(int32_t w) { return static_cast<size_t>(w) + 16; }
size_t RingRows(int32_t n) { return static_cast<size_t>(kRowsPerBlock + n - 1); }
size_t ScratchFloats(int32_t w, int32_t n) {
  return 2 * RingRows(n) * RingStride(w) + (RingStride(w) + static_cast<size_t>(n)) + 2 * kColumnsPerChunk;
}

class CNormalizer {
 public:
  // With `mean` and `meanSquares`, the smoothed planes are stored there instead.
  CNormalizer(const ko::CTypedImg<float>& energy, ko::CTypedImg<float>* normalized, ko::CTypedImg<float>* mean,
              ko::CTypedImg<float>* meanSquares, const SContrastLanes& lanes)
      : b_(energy), n_(normalized), mean_(mean), meanSquares_(meanSquares), w_(energy.width), h_(energy.height),
        lanes_(lanes) {}

  ko::HRESULT Prepare(const ko::CKernel& kernel, int32_t slots);
  void Run(CThreadPool& pool);

 private:
  void FilterRow(int32_t y, float* padded, float* energyOut, float* squaresOut) const;
  void Band(int32_t y0, int32_t y1, float* scratch) const;

  const ko::CTypedImg<float>& b_;
  ko::CTypedImg<float>* n_;
  ko::CTypedImg<float>* mean_;
  ko::CTypedImg<float>* meanSquares_;
  const int32_t w_, h_;
  const SContrastLanes lanes_;
  int32_t count_ = 0, center_ = 0, ringRows_ = 0;
  ko::CKoBuffer<float> taps_;     // the kernel reversed, as the separable filter applies it
  ko::CKoBuffer<float> scratch_;  // per thread slot: ScratchFloats
  size_t scratchFloats_ = 0;
};

ko::HRESULT CNormalizer::Prepare(const ko::CKernel& kernel, int32_t slots) {
  count_ = kernel.count;
  center_ = kernel.center;
  if (!taps_.Allocate(static_cast<size_t>(count_))) return ko::E_OUTOFMEMORY;
  for (int32_t k = 0; k < count_; ++k) taps_[static_cast<size_t>(k)] = kernel.taps[count_ - 1 - k];
  ringRows_ = static_cast<int32_t>(RingRows(count_));
  scratchFloats_ = ScratchFloats(w_, count_);
  if (scratchFloats_ > SIZE_MAX / sizeof(float) / static_cast<size_t>(slots)) return ko::E_OUTOFMEMORY;
  if (!scratch_.Allocate(scratchFloats_ * static_cast<size_t>(slots), true)) return ko::E_OUTOFMEMORY;
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
  lanes_.filterPaddedRow(padded, taps_.get(), count_, w_, energyOut);
  const int32_t total = before + w_ + after;
  for (int32_t i = 0; i < total; ++i) padded[i] = padded[i] * padded[i];
  lanes_.filterPaddedRow(padded, taps_.get(), count_, w_, squaresOut);
}

// Output rows [y0, y1): blocks of rows, each first filtered along x into the ring (slot of
// row v: (v - first) mod ringRows), then summed down one column chunk at a time.
void CNormalizer::Band(int32_t y0, int32_t y1, float* scratch) const {
  const size_t w = RingStride(w_), n = static_cast<size_t>(count_);
  const size_t ring = static_cast<size_t>(ringRows_);
  float* energyRing = scratch;
  float* squareRing = scratch + ring * w;
  float* padded = scratch + 2 * ring * w;
  float* mean = padded + w + n;
  float* meanSquare = mean + kColumnsPerChunk;
  const int32_t after = count_ - 1 - center_;
  const int32_t first = y0 - center_;  // the first row any output of the band reads
  int32_t filtered = first;            // rows [first, filtered) are in the ring
  const float* sources[kMaxTaps];
  const float* squareSources[kMaxTaps];
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
        lanes_.sumScaledRows(squareSources, taps_.get(), count_, count, m2);
        lanes_.sumScaledRows(sources, taps_.get(), count_, count, m1);
        if (!mean_) lanes_.normalizeRow(b_.Row(y) + x0, m1, m2, count, n_->Row(y) + x0);
      }
    }
  }
}

void CNormalizer::Run(CThreadPool& pool) {
  const int64_t tasks = (h_ + kRowsPerTask - 1) / kRowsPerTask;
  pool.ParallelFor(tasks, [&](int64_t i, int32_t slot) {
    const int32_t y0 = static_cast<int32_t>(i) * kRowsPerTask;
    Band(y0, std::min(h_, y0 + kRowsPerTask), scratch_.get() + scratchFloats_ * static_cast<size_t>(slot));
  });
}

// The kernel, checked against what the bands can take.
ko::HRESULT Kernel(ko::CGaussianKernel* kernel) {
  const ko::HRESULT built = BuildContrastKernel(kernel);
  if (built < 0) return built;
  return kernel->count > kMaxTaps ? ko::E_INVALIDARG : ko::S_OK;
}

}  // namespace

uint64_t ContrastFastBytes(int32_t threads, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  constexpr int32_t kTaps = 13;
  return (static_cast<uint64_t>(ScratchFloats(w, kTaps)) * static_cast<uint64_t>(std::max(threads, 1)) + kTaps) *
         sizeof(float);
}

ko::HRESULT NormalizeLocalContrastFast(const CSchedule& schedule, CEdgeState& state, ko::CTypedImg<float> energy) {
  if (!IsFloatPlane(energy)) return ko::E_INVALIDARG;
  const int32_t w = energy.width;
  const int32_t h = energy.height;
  ko::CGaussianKernel kernel;
  const ko::HRESULT built = Kernel(&kernel);
  if (built < 0) return built;
  ko::CTypedImg<float>& normalized = state.normalized;
  if (!normalized.HasMemory() || normalized.width != w || normalized.height != h || normalized.bands != 1) {
    if (normalized.Create(w, h, 1, 4, normalized.type, 0) < 0) return ko::E_OUTOFMEMORY;
  }
  CThreadPool& pool = schedule.Pool();
  CNormalizer normalizer(energy, &normalized, nullptr, nullptr, schedule.Contrast());
  const ko::HRESULT hr = normalizer.Prepare(kernel, pool.Threads());
  if (hr < 0) return hr;
  normalizer.Run(pool);
  return ko::S_OK;
}

ko::HRESULT SmoothForContrastFast(const CSchedule& schedule, const ko::CTypedImg<float>& energy,
                                  ko::CTypedImg<float>& mean, ko::CTypedImg<float>& meanSquares) {
  if (!IsFloatPlane(energy) || !IsFloatPlane(mean) || !IsFloatPlane(meanSquares) || mean.width != energy.width ||
      mean.height != energy.height || meanSquares.width != energy.width || meanSquares.height != energy.height)
    return ko::E_INVALIDARG;
  ko::CGaussianKernel kernel;
  const ko::HRESULT built = Kernel(&kernel);
  if (built < 0) return built;
  CThreadPool& pool = schedule.Pool();
  CNormalizer smoother(energy, nullptr, &mean, &meanSquares, schedule.Contrast());
  const ko::HRESULT hr = smoother.Prepare(kernel, pool.Threads());
  if (hr < 0) return hr;
  smoother.Run(pool);
  return ko::S_OK;
}

}  // namespace brevant
