// How fast the steerable filters could be at best on this machine, in registers only, with
// no memory traffic: the exact tap rule (the product in double, each partial sum rounded to
// float, so double lanes and two conversions a tap) beside the plain float multiply-add a
// general-purpose filter uses, for the 13 distinct passes over a 2048 x 2048 image at
// sigma 2 (9 taps) and 4 (17 taps); and the orientation's atan2 for every pixel, which the
// exact result also needs. The exact floor is what bounds the fast form, not the yardstick.
//
//   build/bench/steerable_floor_bench
#include <immintrin.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>
// The exact tap rule: acc = float(acc + tap * pixel) in double lanes, eight chains at once.
__attribute__((target("avx2"), noinline)) double TapFloor(long vectors, int taps) {
  __m256d acc[8]; for (int j = 0; j < 8; ++j) acc[j] = _mm256_set1_pd(j);
  const __m256d px = _mm256_set1_pd(0.37), tap = _mm256_set1_pd(0.011);
  for (long i = 0; i < vectors; i += 8)
    for (int t = 0; t < taps; ++t)
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) acc[j] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(acc[j], _mm256_mul_pd(tap, px))));
  double s = 0; for (int j = 0; j < 8; ++j) { double l[4]; _mm256_storeu_pd(l, acc[j]); s += l[0]; } return s;
}
// The same rule in eight double lanes (AVX-512).
__attribute__((target("avx2,avx512f,avx512vl,avx512dq"), noinline)) double TapFloor512(long vectors, int taps) {
  __m512d acc[8]; for (int j = 0; j < 8; ++j) acc[j] = _mm512_set1_pd(j);
  const __m512d px = _mm512_set1_pd(0.37), tap = _mm512_set1_pd(0.011);
  for (long i = 0; i < vectors; i += 8)
    for (int t = 0; t < taps; ++t)
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j)
        acc[j] = _mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF,
                                      _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xFF, _mm512_add_pd(acc[j], _mm512_mul_pd(tap, px))));
  double s = 0; for (int j = 0; j < 8; ++j) { double l[8]; _mm512_storeu_pd(l, acc[j]); s += l[0]; } return s;
}
// OpenCV-style float lanes: acc += tap * pixel, 8 floats a vector.
__attribute__((target("avx2"), noinline)) double FloatFloor(long vectors, int taps) {
  __m256 acc[8]; for (int j = 0; j < 8; ++j) acc[j] = _mm256_set1_ps(j);
  const __m256 px = _mm256_set1_ps(0.37f), tap = _mm256_set1_ps(0.011f);
  for (long i = 0; i < vectors; i += 8)
    for (int t = 0; t < taps; ++t)
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) acc[j] = _mm256_add_ps(acc[j], _mm256_mul_ps(tap, px));
  float l[8]; _mm256_storeu_ps(l, acc[0]); return l[0];
}
int main() {
  const long pixels = 2048L * 2048; const int passes = 13;
  for (int taps : {9, 17}) {
    auto t0 = std::chrono::steady_clock::now();
    volatile double a = TapFloor(pixels / 4 * passes, taps);
    auto t1 = std::chrono::steady_clock::now();
    volatile double b = FloatFloor(pixels / 8 * passes, taps);
    auto t2 = std::chrono::steady_clock::now();
    volatile double c = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")
                            ? TapFloor512(pixels / 8 * passes, taps) : 0.0;
    auto t3 = std::chrono::steady_clock::now();
    std::printf("taps %d: exact double-lane floor %.1f ms (AVX-512: %.1f ms), float-lane floor %.1f ms\n", taps,
                std::chrono::duration<double, std::milli>(t1 - t0).count(),
                std::chrono::duration<double, std::milli>(t3 - t2).count(),
                std::chrono::duration<double, std::milli>(t2 - t1).count());
    (void)a; (void)b; (void)c;
  }
  std::vector<float> x(pixels), y(pixels), o(pixels);
  for (long i = 0; i < pixels; ++i) { x[i] = std::sin(i * 0.001f); y[i] = std::cos(i * 0.0013f); }
  auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < pixels; ++i) o[i] = static_cast<float>(std::atan2(static_cast<double>(-x[i]), static_cast<double>(y[i])) + M_PI);
  auto t1 = std::chrono::steady_clock::now();
  std::printf("atan2 of %ld pixels: %.1f ms (%g)\n", pixels, std::chrono::duration<double, std::milli>(t1 - t0).count(), o[pixels / 3]);
}
