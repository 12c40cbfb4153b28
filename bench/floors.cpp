#include "bench/floors.h"

#include <immintrin.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

namespace brevant::bench {
namespace {

constexpr int kGroups = 9;  // 36 bins, four double lanes each

// The arithmetic of `samples` samples as the kernel does it, its records, weights and
// bilinear terms read from a few kilobytes that stay in the nearest cache.
__attribute__((target("avx2"), noinline)) double SampleFloor(long samples, const float* records, const float* weights,
                                                             const double* bilinear) {
  const __m256d zero = _mm256_setzero_pd();
  __m256d total = zero;
  for (long s = 0; s < samples; ++s) {
    const float* n = records + (s & 15) * 36;
    __m256d acc[kGroups];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      const __m128 w = _mm_broadcast_ss(weights + ((s + i) & 15));
      const __m256d c = _mm256_broadcast_sd(bilinear + ((s + i) & 15));
      const float* ni = n + i * 72;
#pragma GCC unroll 9
      for (int g = 0; g < kGroups; ++g) {
        const __m256d t = _mm256_mul_pd(_mm256_cvtps_pd(_mm_mul_ps(w, _mm_loadu_ps(ni + 4 * g))), c);
        const __m128 sum = _mm256_cvtpd_ps(_mm256_add_pd(i == 0 ? zero : acc[g], t));
        acc[g] = i < 3 ? _mm256_cvtps_pd(sum) : _mm256_castpd128_pd256(_mm_castps_pd(sum));
      }
    }
#pragma GCC unroll 9
    for (int g = 0; g < kGroups; ++g) total = _mm256_add_pd(total, acc[g]);
  }
  double lanes[4];
  _mm256_storeu_pd(lanes, total);
  return lanes[0];
}

// The same in AVX-512 lanes: eight bins a register, a sample's 36 in four and one of four.
__attribute__((target("avx2,avx512f,avx512vl,avx512dq"), noinline)) double SampleFloor512(long samples,
                                                                                          const float* records,
                                                                                          const float* weights,
                                                                                          const double* bilinear) {
  const __m512d zero = _mm512_setzero_pd();
  __m512d total = zero;
  __m256d total4 = _mm256_setzero_pd();
  for (long s = 0; s < samples; ++s) {
    const float* n = records + (s & 15) * 36;
    __m512d acc[4];
    __m256d acc4 = _mm256_setzero_pd();
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      const __m256 w = _mm256_broadcast_ss(weights + ((s + i) & 15));
      const __m512d c = _mm512_set1_pd(bilinear[(s + i) & 15]);
      const __m256d c4 = _mm256_set1_pd(bilinear[(s + i) & 15]);
      const float* ni = n + i * 72;
#pragma GCC unroll 4
      for (int g = 0; g < 4; ++g) {
        const __m512d t = _mm512_mul_pd(
            _mm512_mask_cvtps_pd(zero, 0xFF, _mm256_mul_ps(w, _mm256_loadu_ps(ni + 8 * g))), c);
        const __m256 sum = _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xFF, _mm512_add_pd(i == 0 ? zero : acc[g], t));
        acc[g] = i < 3 ? _mm512_mask_cvtps_pd(zero, 0xFF, sum) : _mm512_mask_cvtps_pd(zero, 0x0F, sum);
      }
      const __m256d t = _mm256_mul_pd(_mm256_cvtps_pd(_mm_mul_ps(_mm256_castps256_ps128(w), _mm_loadu_ps(ni + 32))), c4);
      const __m128 sum = _mm256_cvtpd_ps(_mm256_add_pd(i == 0 ? _mm256_setzero_pd() : acc4, t));
      acc4 = i < 3 ? _mm256_cvtps_pd(sum) : _mm256_castpd128_pd256(_mm_castps_pd(sum));
    }
#pragma GCC unroll 4
    for (int g = 0; g < 4; ++g) total = _mm512_add_pd(total, acc[g]);
    total4 = _mm256_add_pd(total4, acc4);
  }
  double lanes[8], lanes4[4];
  _mm512_storeu_pd(lanes, total);
  _mm256_storeu_pd(lanes4, total4);
  return lanes[0] + lanes4[0];
}

// The exact tap rule: acc = float(acc + tap * pixel) in double lanes, eight chains at once.
__attribute__((target("avx2"), noinline)) double TapFloor(long vectors, int taps) {
  __m256d acc[8];
  for (int j = 0; j < 8; ++j) acc[j] = _mm256_set1_pd(j);
  const __m256d px = _mm256_set1_pd(0.37), tap = _mm256_set1_pd(0.011);
  for (long i = 0; i < vectors; i += 8)
    for (int t = 0; t < taps; ++t)
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) acc[j] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(acc[j], _mm256_mul_pd(tap, px))));
  double s = 0;
  for (int j = 0; j < 8; ++j) {
    double l[4];
    _mm256_storeu_pd(l, acc[j]);
    s += l[0];
  }
  return s;
}

__attribute__((target("avx2,avx512f,avx512vl,avx512dq"), noinline)) double TapFloor512(long vectors, int taps) {
  __m512d acc[8];
  for (int j = 0; j < 8; ++j) acc[j] = _mm512_set1_pd(j);
  const __m512d px = _mm512_set1_pd(0.37), tap = _mm512_set1_pd(0.011);
  for (long i = 0; i < vectors; i += 8)
    for (int t = 0; t < taps; ++t)
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j)
        acc[j] = _mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF,
                                      _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xFF, _mm512_add_pd(acc[j], _mm512_mul_pd(tap, px))));
  double s = 0;
  for (int j = 0; j < 8; ++j) {
    double l[8];
    _mm512_storeu_pd(l, acc[j]);
    s += l[0];
  }
  return s;
}

// OpenCV-style float lanes: acc += tap * pixel, 8 floats a vector.
__attribute__((target("avx2"), noinline)) double FloatFloor(long vectors, int taps) {
  __m256 acc[8];
  for (int j = 0; j < 8; ++j) acc[j] = _mm256_set1_ps(j);
  const __m256 px = _mm256_set1_ps(0.37f), tap = _mm256_set1_ps(0.011f);
  for (long i = 0; i < vectors; i += 8)
    for (int t = 0; t < taps; ++t)
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) acc[j] = _mm256_add_ps(acc[j], _mm256_mul_ps(tap, px));
  float l[8];
  _mm256_storeu_ps(l, acc[0]);
  return l[0];
}

// `work(share)` on `threads` threads at once, each doing 1 / threads of the whole.
double TimedMs(int threads, const std::function<void(int)>& work) {
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> others;
  for (int i = 1; i < threads; ++i) others.emplace_back(work, threads);
  work(threads);
  for (std::thread& t : others) t.join();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

bool HaveAvx512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512vl");
}

double BinPassFloorMs(int64_t pixels, int threads, bool avx512) {
  const bool wide = avx512 && HaveAvx512();
  return TimedMs(threads, [&](int share) {
    alignas(64) float records[16 * 36 + 4 * 72];
    alignas(64) float weights[16];
    alignas(64) double bilinear[16];
    for (int i = 0; i < 16 * 36 + 4 * 72; ++i) records[i] = 0.001f * static_cast<float>(i % 997);
    for (int i = 0; i < 16; ++i) {
      weights[i] = 0.5f + 0.03f * static_cast<float>(i);
      bilinear[i] = 0.0625 * i;
    }
    const long samples = 2 * pixels / share;
    volatile double sink =
        wide ? SampleFloor512(samples, records, weights, bilinear) : SampleFloor(samples, records, weights, bilinear);
    (void)sink;
  });
}

double SteerableTapFloorMs(int64_t pixels, int taps, int threads, bool avx512) {
  constexpr int kPasses = 13;
  const bool wide = avx512 && HaveAvx512();
  return TimedMs(threads, [&](int share) {
    volatile double sink = wide ? TapFloor512(pixels / 8 * kPasses / share, taps) : TapFloor(pixels / 4 * kPasses / share, taps);
    (void)sink;
  });
}

double FloatTapFloorMs(int64_t pixels, int taps) {
  return TimedMs(1, [&](int) {
    volatile double sink = FloatFloor(pixels / 8 * 13, taps);
    (void)sink;
  });
}

double OrientationAtan2Ms(int64_t pixels, int threads) {
  std::vector<float> x(static_cast<size_t>(pixels)), y(static_cast<size_t>(pixels)), o(static_cast<size_t>(pixels));
  for (int64_t i = 0; i < pixels; ++i) {
    x[static_cast<size_t>(i)] = std::sin(static_cast<float>(i) * 0.001f);
    y[static_cast<size_t>(i)] = std::cos(static_cast<float>(i) * 0.0013f);
  }
  std::atomic<int> part{0};
  return TimedMs(threads, [&](int share) {
    const int index = part++;
    const int64_t begin = pixels * index / share, end = pixels * (index + 1) / share;
    for (int64_t i = begin; i < end; ++i)
      o[static_cast<size_t>(i)] = static_cast<float>(
          std::atan2(static_cast<double>(-x[static_cast<size_t>(i)]), static_cast<double>(y[static_cast<size_t>(i)])) + M_PI);
  });
}

}  // namespace brevant::bench
