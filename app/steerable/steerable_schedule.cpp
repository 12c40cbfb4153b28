// The fast form of the steerable filters. Only the pixels at least r from every edge receive
// energy and orientation, and for them every tap of both passes lies inside the image; so
// the image is cut into vertical strips of that interior, each streamed from top to bottom:
// every input row is filtered along x by the six distinct horizontal kernels into a ring of
// the last 2r + 1 rows, and each output row is then summed down the ring for the seven
// basis filters and combined at once. No response plane is ever made; the strips spread over
// the schedule's threads; the sums run across pixels in the schedule's lanes, in the
// reference form's order.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "app/steerable/steerable.h"
#include "app/steerable/steerable_kernels.h"
#include "ko/platform/ko_buffer.h"

namespace brevant {
namespace {

constexpr int kHorizontalKernels = 6;  // G2c and H2d share g along x
constexpr int32_t kStripWidth = 128;  // a strip's ring of rows stays in the cache
// Ring rows a cache line longer than the strip, so that the rows a vertical sum reads do
// not all fall on the same cache sets.
constexpr int32_t kRowPad = 8;

// The distinct horizontal kernels in order of first use, and each basis filter's among them.
struct SHorizontal {
  KernelMember kernel[kHorizontalKernels] = {};
  int of[kBasisFilters] = {};
};
constexpr SHorizontal DistinctHorizontals() {
  SHorizontal h;
  int n = 0;
  for (int f = 0; f < kBasisFilters; ++f) {
    int i = 0;
    while (i < n && h.kernel[i] != kBasisKernels[f][0]) ++i;
    if (i == n) h.kernel[n++] = kBasisKernels[f][0];
    h.of[f] = i;
  }
  return h;
}
constexpr SHorizontal kHorizontal = DistinctHorizontals();

// No infinity and no NaN among the values: no exponent of all ones. Integer work, which
// the compiler turns into vector code.
bool AllFinite(const double* p, int32_t count) {
  uint64_t bad = 0;
  for (int32_t i = 0; i < count; ++i) {
    uint64_t bits;
    std::memcpy(&bits, p + i, sizeof bits);
    bad += (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull;
  }
  return bad == 0;
}

// The largest magnitude among the values, NaN counting as infinite.
double LargestMagnitude(const double* p, int32_t count) {
  double largest = 0.0;
  for (int32_t i = 0; i < count; ++i) {
    const double a = std::fabs(p[i]);
    largest = a > largest || a != a ? (a != a ? HUGE_VAL : a) : largest;
  }
  return largest;
}

// The sizes of the strips' working memory, for the allocation and for the memory estimate.
struct SStripShape {
  size_t taps;   // 2 r + 1
  size_t width;  // a ring row: the strip and its padding
  bool interior; // some pixel receives energy
  SStripShape(int32_t radius, int32_t w, int32_t h)
      : taps(2 * static_cast<size_t>(radius) + 1),
        width(static_cast<size_t>(std::min(kStripWidth, std::max(1, w - 2 * radius))) + kRowPad),
        interior(w > 2 * radius && h > 2 * radius) {}
  // Doubles of the shared taps: the horizontal kernels, then the vertical ones.
  size_t SharedDoubles() const { return (kHorizontalKernels + kBasisFilters) * taps; }
  // Bytes of one thread's scratch.
  uint64_t ThreadBytes() const {
    const uint64_t doubles = static_cast<uint64_t>(taps) * kHorizontalKernels * width  // ring
                             + (width + taps)                                          // input row
                             + static_cast<uint64_t>(kBasisFilters) * width            // responses
                             + taps;                                                   // a sum's taps
    return doubles * sizeof(double) + static_cast<uint64_t>(taps) * (kHorizontalKernels + sizeof(double*));
  }
};

// Scratch of one thread: the ring of horizontal rows of a strip and its bookkeeping.
struct SStripScratch {
  ko::CKoBuffer<double> ring;        // rows x kernels x strip width
  ko::CKoBuffer<double> input;       // one input row of the strip and its reach, in double
  ko::CKoBuffer<double> responses;   // the seven responses of one output row
  ko::CKoBuffer<bool> finite;        // per ring row and kernel: every value finite
  ko::CKoBuffer<const double*> sources;  // the rows of one sum, tap by tap
  ko::CKoBuffer<double> taps;            // their taps
};

class CSteerableStrips {
 public:
  CSteerableStrips(const SSteerableKernels& k, int32_t w, int32_t h, const SSteerableLanes& lanes)
      : k_(k), w_(w), h_(h), r_(k.radius), n_(2 * k.radius + 1), shape_(k.radius, w, h), lanes_(lanes) {}

  ko::HRESULT Prepare(int32_t slots);
  void Run(CThreadPool& pool, const ko::CTypedImg<float>& input, ko::CTypedImg<float>& energy,
           ko::CTypedImg<float>& orientation);

 private:
  void Strip(int32_t x0, int32_t x1, SStripScratch& s, const ko::CTypedImg<float>& input, ko::CTypedImg<float>& energy,
             ko::CTypedImg<float>& orientation) const;

  const SSteerableKernels& k_;
  const int32_t w_, h_, r_, n_;
  const SStripShape shape_;
  const SSteerableLanes lanes_;
  std::vector<SStripScratch> scratch_;
  ko::CKoBuffer<double> taps_;  // the horizontal kernels, then the vertical ones, n each
  double tapMagnitude_ = 0.0;   // the largest sum of |tap| of a horizontal kernel
};

ko::HRESULT CSteerableStrips::Prepare(int32_t slots) {
  const size_t n = shape_.taps;
  if (!taps_.Allocate(shape_.SharedDoubles(), true)) return ko::E_OUTOFMEMORY;
  for (size_t i = 0; i < kHorizontalKernels + kBasisFilters; ++i) {
    const ko::CKernel& kernel =
        i < kHorizontalKernels ? k_.*kHorizontal.kernel[i] : k_.*kBasisKernels[i - kHorizontalKernels][1];
    double magnitude = 0.0;
    for (size_t t = 0; t < n; ++t) {
      taps_[i * n + t] = kernel.taps[t];
      magnitude += std::fabs(taps_[i * n + t]);
    }
    if (i < kHorizontalKernels) tapMagnitude_ = std::max(tapMagnitude_, magnitude);
  }
  const size_t width = shape_.width;
  try {
    scratch_.resize(static_cast<size_t>(slots));
  } catch (const std::bad_alloc&) {
    return ko::E_OUTOFMEMORY;
  }
  for (SStripScratch& s : scratch_) {
    if (!s.ring.Allocate(n * kHorizontalKernels * width, true) || !s.input.Allocate(width + 2 * static_cast<size_t>(r_), true) ||
        !s.responses.Allocate(kBasisFilters * width, true) || !s.finite.Allocate(n * kHorizontalKernels, true) ||
        !s.sources.Allocate(n, true) || !s.taps.Allocate(n, true))
      return ko::E_OUTOFMEMORY;
  }
  return ko::S_OK;
}

// Output columns [x0, x1) (inside r .. W - r) of every row.
void CSteerableStrips::Strip(int32_t x0, int32_t x1, SStripScratch& s, const ko::CTypedImg<float>& input,
                             ko::CTypedImg<float>& energy, ko::CTypedImg<float>& orientation) const {
  const int32_t count = x1 - x0;
  const size_t n = shape_.taps;
  const size_t width = shape_.width;
  const double* responses[kBasisFilters];
  for (int f = 0; f < kBasisFilters; ++f) responses[f] = s.responses.get() + static_cast<size_t>(f) * width;
  for (int32_t v = 0; v < h_; ++v) {
    const size_t slot = static_cast<size_t>(v % n_);
    const float* in = input.Row(v) + (x0 - r_);
    const int32_t reach = count + 2 * r_;
    for (int32_t i = 0; i < reach; ++i) s.input[static_cast<size_t>(i)] = in[i];
    const double largest = LargestMagnitude(s.input.get(), reach);
    const bool inputFinite = largest <= DBL_MAX;
    // Every partial sum along x is at most (sum of |tap|) x largest, give or take a rounding:
    // well below the float limit, all the row's values are finite without looking.
    const bool outputFinite = inputFinite && largest * tapMagnitude_ < 1e37;
    for (int k = 0; k < kHorizontalKernels; ++k) {
      const double* taps = taps_.get() + static_cast<size_t>(k) * n;
      int32_t m = 0;
      for (int32_t t = 0; t < n_; ++t) {
        if (taps[t] == 0.0 && inputFinite) continue;
        s.sources[static_cast<size_t>(m)] = s.input.get() + t;
        s.taps[static_cast<size_t>(m++)] = taps[t];
      }
      double* out = s.ring.get() + (slot * kHorizontalKernels + static_cast<size_t>(k)) * width;
      lanes_.sumRows(s.sources.get(), s.taps.get(), m, count, out);
      s.finite[slot * kHorizontalKernels + static_cast<size_t>(k)] = outputFinite || AllFinite(out, count);
    }
    if (v < 2 * r_) continue;
    // Output row y = v - r: its rows y - r .. y + r are all in the ring now.
    const int32_t y = v - r_;
    for (int f = 0; f < kBasisFilters; ++f) {
      const size_t hk = static_cast<size_t>(kHorizontal.of[f]);
      const double* taps = taps_.get() + (kHorizontalKernels + static_cast<size_t>(f)) * n;
      int32_t m = 0;
      for (int32_t t = 0; t < n_; ++t) {
        const size_t ring = static_cast<size_t>((y - r_ + t) % n_);
        if (taps[t] == 0.0 && s.finite[ring * kHorizontalKernels + hk]) continue;
        s.sources[static_cast<size_t>(m)] = s.ring.get() + (ring * kHorizontalKernels + hk) * width;
        s.taps[static_cast<size_t>(m++)] = taps[t];
      }
      lanes_.sumRows(s.sources.get(), s.taps.get(), m, count, s.responses.get() + static_cast<size_t>(f) * width);
    }
    lanes_.combineRow(responses, count, energy.Row(y) + x0, orientation.Row(y) + x0);
  }
}

void CSteerableStrips::Run(CThreadPool& pool, const ko::CTypedImg<float>& input, ko::CTypedImg<float>& energy,
                           ko::CTypedImg<float>& orientation) {
  const int32_t first = r_, end = w_ - r_;
  const int64_t strips = (end - first + kStripWidth - 1) / kStripWidth;
  pool.ParallelFor(strips, [&](int64_t i, int32_t slot) {
    const int32_t x0 = first + static_cast<int32_t>(i) * kStripWidth;
    Strip(x0, std::min(end, x0 + kStripWidth), scratch_[static_cast<size_t>(slot)], input, energy, orientation);
  });
}

}  // namespace

uint64_t SteerableFastBytes(int32_t threads, int32_t w, int32_t h, float sigma) {
  if (!(sigma > 0.0f) || !(sigma < static_cast<float>(1 << 29))) return 0;  // refused before any allocation
  const int32_t radius = static_cast<int32_t>(2.0f * sigma);
  const SStripShape shape(radius, w, h);
  const uint64_t taps = shape.taps * 6 * sizeof(float);  // the kernels themselves
  if (!shape.interior) return taps;
  return taps + shape.SharedDoubles() * sizeof(double) + static_cast<uint64_t>(std::max(threads, 1)) * shape.ThreadBytes();
}

ko::HRESULT ComputeSteerableEnergyFast(const CSchedule& schedule, float sigma, ko::CTypedImg<float> input,
                                       ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation) {
  const ko::HRESULT valid = CheckSteerableArguments(sigma, input, energy, orientation);
  if (valid < 0) return valid;
  const int32_t w = input.width;
  const int32_t h = input.height;
  SSteerableKernels k;
  const ko::HRESULT built = BuildSteerableKernels(sigma, &k);
  if (built < 0) return built;
  CThreadPool& pool = schedule.Pool();
  CSteerableStrips strips(k, w, h, schedule.Steerable());
  const bool interior = w > 2 * k.radius && h > 2 * k.radius;
  if (interior) {
    const ko::HRESULT hr = strips.Prepare(pool.Threads());
    if (hr < 0) return hr;
  }
  if (!interior) {
    energy.Clear();
    orientation.Clear();
    return ko::S_OK;
  }
  // The strips write every pixel at least r from the edges: only the frame around them is
  // cleared here, so that the planes' first touch (page faults and all) falls to the threads.
  const int32_t r = k.radius;
  const ko::RECT frame[4] = {{0, 0, w, r}, {0, h - r, w, h}, {0, r, r, h - r}, {w - r, r, w, h - r}};
  for (const ko::RECT& part : frame) {
    energy.Clear(&part);
    orientation.Clear(&part);
  }
  strips.Run(pool, input, energy, orientation);
  return ko::S_OK;
}

}  // namespace brevant
