// The fast form of the steerable filters. Only the pixels at least r from every edge receive
// energy and orientation, and for them every tap of both passes lies inside the image; so
// the image is cut into vertical strips of that interior, each streamed from top to bottom:
// every input row is filtered along x by the six distinct horizontal kernels into a ring of
// the last 2r + 1 rows, and each output row is then summed down the ring for the seven
// basis filters and combined at once. No response plane is ever made; the strips spread over
// the worker threads; the sums run across pixels in double lanes, in the plain form's order.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "app/avx512_lanes.h"
#include "app/float_math.h"
#include "app/float_plane.h"
#include "app/steerable_energy.h"
#include "app/thread_pool.h"
#include "ko/platform/cpu_features.h"
#include "ko/platform/memory.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BREVANT_X86 1
#endif

namespace brevant {
namespace {

constexpr int kBasisFilters = 7;
constexpr int kHorizontalKernels = 6;  // a, b, g, c, f, d: G2c and H2d share g along x
// Per basis filter (G2a, G2b, G2c, H2a, H2b, H2c, H2d): its horizontal kernel among the six.
constexpr int kHorizontalOf[kBasisFilters] = {0, 1, 2, 3, 4, 5, 2};
constexpr int32_t kStripWidth = 128;  // a strip's ring of rows stays in the cache
// Ring rows a cache line longer than the strip, so that the rows a vertical sum reads do
// not all fall on the same cache sets.
constexpr int32_t kRowPad = 8;

inline float Orientation(float h2a, float h2d) { return static_cast<float>(Atan2F(-h2a, h2d) + kPi); }

// The plain form's combination of one pixel's seven responses.
inline void CombineScalar(const double* r, float* energy, float* orientation) {
  const double g2a = r[0], g2b = r[1], g2c = r[2], h2a = r[3], h2b = r[4], h2c = r[5], h2d = r[6];
  const float c1 = static_cast<float>(0.5 * (g2a * g2a - g2c * g2c) + 0.46875 * (h2a * h2a - h2d * h2d) +
                                      0.28125 * (h2b * h2b - h2c * h2c) + 0.1875 * (h2a * h2c - h2b * h2d));
  const float c2 = static_cast<float>(-g2a * g2b - g2b * g2c - 0.9375 * (h2a * h2b + h2c * h2d) -
                                      1.6875 * h2b * h2c - 0.1875 * h2a * h2d);
  const float squares = static_cast<float>(static_cast<double>(c1) * c1 + static_cast<double>(c2) * c2);
  *energy = static_cast<float>(10.0 * SqrtF(SqrtF(squares)));
  *orientation = Orientation(static_cast<float>(h2a), static_cast<float>(h2d));
}

namespace scalar {
struct V {
  static constexpr int kLanes = 1;
  using D = double;
  static D Zero() { return 0.0; }
  static D Load(const double* p) { return *p; }
  static void Store(double* p, D v) { *p = v; }
  static D Set1(double v) { return v; }
  static D Add(D a, D b) { return a + b; }
  static D Sub(D a, D b) { return a - b; }
  static D Mul(D a, D b) { return a * b; }
  static D Neg(D a) { return -a; }
  static D Sqrt(D a) { return std::sqrt(a); }
  static D RoundToFloat(D a) { return static_cast<float>(a); }
  static void StoreFloats(float* p, D v) { *p = static_cast<float>(v); }
  static double Lane(D v, int) { return v; }
};
#include "app/steerable_rows.inc"
}  // namespace scalar

#if defined(BREVANT_X86)
namespace sse2 {
struct V {
  static constexpr int kLanes = 2;
  using D = __m128d;
  static D Zero() { return _mm_setzero_pd(); }
  static D Load(const double* p) { return _mm_loadu_pd(p); }
  static void Store(double* p, D v) { _mm_storeu_pd(p, v); }
  static D Set1(double v) { return _mm_set1_pd(v); }
  static D Add(D a, D b) { return _mm_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
  static D Neg(D a) { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
  static D Sqrt(D a) { return _mm_sqrt_pd(a); }
  static D RoundToFloat(D a) { return _mm_cvtps_pd(_mm_cvtpd_ps(a)); }
  static void StoreFloats(float* p, D v) { _mm_storel_pi(reinterpret_cast<__m64*>(p), _mm_cvtpd_ps(v)); }
  static double Lane(D v, int j) { return j == 0 ? _mm_cvtsd_f64(v) : _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }
};
#include "app/steerable_rows.inc"
}  // namespace sse2

// Every function of this namespace is compiled for AVX2 (clang has no GCC target pragma).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
struct V {
  static constexpr int kLanes = 4;
  using D = __m256d;
  static D Zero() { return _mm256_setzero_pd(); }
  static D Load(const double* p) { return _mm256_loadu_pd(p); }
  static void Store(double* p, D v) { _mm256_storeu_pd(p, v); }
  static D Set1(double v) { return _mm256_set1_pd(v); }
  static D Add(D a, D b) { return _mm256_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static D Neg(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
  static D Sqrt(D a) { return _mm256_sqrt_pd(a); }
  static D RoundToFloat(D a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
  static void StoreFloats(float* p, D v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
  static double Lane(D v, int j) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v);
    return lanes[j];
  }
};
#include "app/steerable_rows.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512vl,avx512dq"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512dq")
#endif
namespace avx512 {
struct V {
  static constexpr int kLanes = 8;
  using D = __m512d;
  static D Zero() { return _mm512_setzero_pd(); }
  static D Load(const double* p) { return _mm512_loadu_pd(p); }
  static void Store(double* p, D v) { _mm512_storeu_pd(p, v); }
  static D Set1(double v) { return _mm512_set1_pd(v); }
  static D Add(D a, D b) { return _mm512_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm512_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm512_mul_pd(a, b); }
  static D Neg(D a) { return _mm512_xor_pd(a, _mm512_set1_pd(-0.0)); }
  static D Sqrt(D a) { return avx512_lanes::Sqrt(a); }
  static D RoundToFloat(D a) { return avx512_lanes::Widen(avx512_lanes::Narrow(a)); }
  static void StoreFloats(float* p, D v) { _mm256_storeu_ps(p, avx512_lanes::Narrow(v)); }
  static double Lane(D v, int j) {
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, v);
    return lanes[j];
  }
};
#include "app/steerable_rows.inc"
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

using SumRowsFn = void (*)(const double* const*, const double*, int32_t, int32_t, double*);
using CombineRowFn = void (*)(const double* const*, int32_t, float*, float*);

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

// Scratch of one thread: the ring of horizontal rows of a strip and its bookkeeping.
struct SStripScratch {
  double* ring = nullptr;          // rows x kernels x strip width
  double* input = nullptr;         // one input row of the strip and its reach, in double
  double* responses = nullptr;     // the seven responses of one output row
  bool* finite = nullptr;          // per ring row and kernel: every value finite
  const double** sources = nullptr;  // the rows of one sum, tap by tap
  double* taps = nullptr;            // their taps
};

class CSteerableStrips {
 public:
  CSteerableStrips(const SSteerableKernels& k, int32_t w, int32_t h) : k_(k), w_(w), h_(h) {
    r_ = k.radius;
    n_ = 2 * r_ + 1;
  }
  ~CSteerableStrips() {
    for (void* p : blocks_) ko::KoFree(p);
  }

  ko::HRESULT Prepare(int32_t slots);
  void Run(CThreadPool& pool, const ko::CTypedImg<float>& input, ko::CTypedImg<float>& energy,
           ko::CTypedImg<float>& orientation);

 private:
  template <class T>
  T* Allocate(size_t count) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    void* p = ko::KoCalloc(count == 0 ? sizeof(T) : count * sizeof(T));
    if (!p) return nullptr;
    try {
      blocks_.push_back(p);
    } catch (const std::bad_alloc&) {
      ko::KoFree(p);
      return nullptr;
    }
    return static_cast<T*>(p);
  }
  void Strip(int32_t x0, int32_t x1, SStripScratch& s, const ko::CTypedImg<float>& input, ko::CTypedImg<float>& energy,
             ko::CTypedImg<float>& orientation) const;

  const SSteerableKernels& k_;
  const int32_t w_, h_;
  int32_t r_ = 0, n_ = 1;
  std::vector<void*> blocks_;
  std::vector<SStripScratch> scratch_;
  double* taps_ = nullptr;  // the horizontal kernels, then the vertical ones, n each
  double tapMagnitude_ = 0.0;  // the largest sum of |tap| of a horizontal kernel
  SumRowsFn sum_ = nullptr;
  CombineRowFn combine_ = nullptr;
};

ko::HRESULT CSteerableStrips::Prepare(int32_t slots) {
  const size_t n = static_cast<size_t>(n_);
  const size_t kernels = kHorizontalKernels + kBasisFilters;
  taps_ = Allocate<double>(kernels * n);
  if (!taps_) return ko::E_OUTOFMEMORY;
  const ko::CKernel* const horizontal[kHorizontalKernels] = {&k_.a, &k_.b, &k_.g, &k_.c, &k_.f, &k_.d};
  const ko::CKernel* const vertical[kBasisFilters] = {&k_.g, &k_.b, &k_.a, &k_.g, &k_.d, &k_.f, &k_.c};
  for (size_t i = 0; i < kernels; ++i) {
    const ko::CKernel* kernel = i < kHorizontalKernels ? horizontal[i] : vertical[i - kHorizontalKernels];
    double magnitude = 0.0;
    for (size_t t = 0; t < n; ++t) {
      taps_[i * n + t] = kernel->taps[t];
      magnitude += std::fabs(taps_[i * n + t]);
    }
    if (i < kHorizontalKernels) tapMagnitude_ = std::max(tapMagnitude_, magnitude);
  }
  const size_t width = static_cast<size_t>(std::min(kStripWidth, std::max(1, w_ - 2 * r_))) + kRowPad;
  try {
    scratch_.resize(static_cast<size_t>(slots));
  } catch (const std::bad_alloc&) {
    return ko::E_OUTOFMEMORY;
  }
  for (SStripScratch& s : scratch_) {
    s.ring = Allocate<double>(n * kHorizontalKernels * width);
    s.input = Allocate<double>(width + 2 * static_cast<size_t>(r_));
    s.responses = Allocate<double>(kBasisFilters * width);
    s.finite = Allocate<bool>(n * kHorizontalKernels);
    s.sources = Allocate<const double*>(n);
    s.taps = Allocate<double>(n);
    if (!s.ring || !s.input || !s.responses || !s.finite || !s.sources || !s.taps) return ko::E_OUTOFMEMORY;
  }
  const ko::CpuFeatures cpu = ko::GetCpuFeatures();
#if defined(BREVANT_X86)
  if (cpu.avx512) {
    sum_ = avx512::SumRows;
    combine_ = avx512::CombineRow;
  } else if (cpu.avx2) {
    sum_ = avx2::SumRows;
    combine_ = avx2::CombineRow;
  } else if (cpu.sse2) {
    sum_ = sse2::SumRows;
    combine_ = sse2::CombineRow;
  } else
#endif
  {
    (void)cpu;
    sum_ = scalar::SumRows;
    combine_ = scalar::CombineRow;
  }
  return ko::S_OK;
}

// Output columns [x0, x1) (inside r .. W - r) of every row.
void CSteerableStrips::Strip(int32_t x0, int32_t x1, SStripScratch& s, const ko::CTypedImg<float>& input,
                             ko::CTypedImg<float>& energy, ko::CTypedImg<float>& orientation) const {
  const int32_t count = x1 - x0;
  const size_t n = static_cast<size_t>(n_);
  const size_t width = static_cast<size_t>(std::min(kStripWidth, std::max(1, w_ - 2 * r_))) + kRowPad;
  const double* responses[kBasisFilters];
  for (int f = 0; f < kBasisFilters; ++f) responses[f] = s.responses + static_cast<size_t>(f) * width;
  for (int32_t v = 0; v < h_; ++v) {
    const size_t slot = static_cast<size_t>(v % n_);
    const float* in = input.Row(v) + (x0 - r_);
    const int32_t reach = count + 2 * r_;
    for (int32_t i = 0; i < reach; ++i) s.input[i] = in[i];
    const double largest = LargestMagnitude(s.input, reach);
    const bool inputFinite = largest <= DBL_MAX;
    // Every partial sum along x is at most (sum of |tap|) x largest, give or take a rounding:
    // well below the float limit, all the row's values are finite without looking.
    const bool outputFinite = inputFinite && largest * tapMagnitude_ < 1e37;
    for (int k = 0; k < kHorizontalKernels; ++k) {
      const double* taps = taps_ + static_cast<size_t>(k) * n;
      int32_t m = 0;
      for (int32_t t = 0; t < n_; ++t) {
        if (taps[t] == 0.0 && inputFinite) continue;
        s.sources[m] = s.input + t;
        s.taps[m++] = taps[t];
      }
      double* out = s.ring + (slot * kHorizontalKernels + k) * width;
      sum_(s.sources, s.taps, m, count, out);
      s.finite[slot * kHorizontalKernels + k] = outputFinite || AllFinite(out, count);
    }
    if (v < 2 * r_) continue;
    // Output row y = v - r: its rows y - r .. y + r are all in the ring now.
    const int32_t y = v - r_;
    for (int f = 0; f < kBasisFilters; ++f) {
      const int hk = kHorizontalOf[f];
      const double* taps = taps_ + (kHorizontalKernels + static_cast<size_t>(f)) * n;
      int32_t m = 0;
      for (int32_t t = 0; t < n_; ++t) {
        const size_t ring = static_cast<size_t>((y - r_ + t) % n_);
        if (taps[t] == 0.0 && s.finite[ring * kHorizontalKernels + hk]) continue;
        s.sources[m] = s.ring + (ring * kHorizontalKernels + hk) * width;
        s.taps[m++] = taps[t];
      }
      sum_(s.sources, s.taps, m, count, s.responses + static_cast<size_t>(f) * width);
    }
    combine_(responses, count, energy.Row(y) + x0, orientation.Row(y) + x0);
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

bool SameSize(const ko::CImg& a, const ko::CImg& b) { return a.width == b.width && a.height == b.height; }

}  // namespace

ko::HRESULT ComputeSteerableEnergyFast(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
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
  const bool interior = w > 2 * k.radius && h > 2 * k.radius;
  CThreadPool& pool = WorkerPool();
  CSteerableStrips strips(k, w, h);
  if (interior) {
    const ko::HRESULT hr = strips.Prepare(pool.Threads());
    if (hr < 0) return hr;
  }
  energy.Clear();
  orientation.Clear();
  if (interior) strips.Run(pool, input, energy, orientation);
  return ko::S_OK;
}

}  // namespace brevant
