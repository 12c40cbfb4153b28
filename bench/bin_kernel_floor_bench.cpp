// How fast one refinement pass with the 36 histogram bins could be at best on this machine:
// the exact sample rule alone, its records in the nearest cache, no other memory traffic. Each
// bin of each of the two samples of a pixel takes four terms (weight times record in float,
// widened, times the bilinear weight in double, added, the sum rounded to float after each
// term): for a 2048 x 2048 image 4M x 2 x 4 x 9 groups of four double lanes, three
// conversions a group; in AVX2 lanes and, where the processor has them, AVX-512 lanes. Run on
// one thread and on two at once.
//
//   build/bench/bin_kernel_floor_bench
#include <immintrin.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr long kPixels = 2048L * 2048;
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

bool g_wide = false;  // run the AVX-512 form

double Run(long samples) {
  alignas(64) float records[16 * 36 + 4 * 72];
  alignas(64) float weights[16];
  alignas(64) double bilinear[16];
  for (int i = 0; i < 16 * 36 + 4 * 72; ++i) records[i] = 0.001f * static_cast<float>(i % 997);
  for (int i = 0; i < 16; ++i) {
    weights[i] = 0.5f + 0.03f * static_cast<float>(i);
    bilinear[i] = 0.0625 * i;
  }
  return g_wide ? SampleFloor512(samples, records, weights, bilinear) : SampleFloor(samples, records, weights, bilinear);
}

double Milliseconds(int threads) {
  const long samples = 2 * kPixels / threads;
  volatile double sink[2] = {0, 0};
  const auto t0 = std::chrono::steady_clock::now();
  if (threads == 1) {
    sink[0] = Run(samples);
  } else {
    std::thread other([&] { sink[1] = Run(samples); });
    sink[0] = Run(samples);
    other.join();
  }
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

}  // namespace

int main() {
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                      __builtin_cpu_supports("avx512vl");
  for (bool wide : {false, true}) {
    if (wide && !avx512) break;
    g_wide = wide;
    for (int threads : {1, 2}) {
      double best = 1e30;
      for (int rep = 0; rep < 3; ++rep) {
        const double ms = Milliseconds(threads);
        if (ms < best) best = ms;
      }
      std::printf("36-bin pass, exact sample arithmetic only, %s, %d thread%s: %.1f ms\n", wide ? "AVX-512" : "AVX2",
                  threads, threads > 1 ? "s" : "", best);
    }
  }
}
