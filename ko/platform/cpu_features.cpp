#include "ko/platform/cpu_features.h"

#include <sched.h>

#include <atomic>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace ko {
namespace {

CpuFeatures QueryProcessor() {
  CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    f.sse = (edx >> 25) & 1;
    f.sse2 = (edx >> 26) & 1;
    const bool osxsave = (ecx >> 27) & 1;
    const bool avx = (ecx >> 28) & 1;
    bool osYmm = false, osZmm = false;
    if (osxsave && avx) {
      unsigned lo = 0, hi = 0;
      __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      osYmm = (lo & 0x6) == 0x6;
      // Opmask, upper halves of zmm0-15 and zmm16-31.
      osZmm = osYmm && (lo & 0xE0) == 0xE0;
    }
    if (osYmm && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
      f.avx2 = (ebx >> 5) & 1;
      const bool avx512f = (ebx >> 16) & 1, avx512dq = (ebx >> 17) & 1, avx512vl = (ebx >> 31) & 1;
      f.avx512 = f.avx2 && osZmm && avx512f && avx512dq && avx512vl;
    }
  }
#endif
  return f;
}

std::atomic<unsigned> g_allowMask{15};

}  // namespace

const CpuFeatures& GetHardwareCpuFeatures() {
  static const CpuFeatures features = QueryProcessor();
  return features;
}

CpuFeatures GetCpuFeatures() {
  CpuFeatures f = GetHardwareCpuFeatures();
  const unsigned mask = g_allowMask.load(std::memory_order_relaxed);
  f.sse = f.sse && (mask & 1);
  f.sse2 = f.sse2 && (mask & 2);
  f.avx2 = f.avx2 && (mask & 4);
  f.avx512 = f.avx512 && f.avx2 && (mask & 8);
  return f;
}

void RestrictCpuFeatures(bool allowSse, bool allowSse2, bool allowAvx2, bool allowAvx512) {
  g_allowMask.store((allowSse ? 1u : 0u) | (allowSse2 ? 2u : 0u) | (allowAvx2 ? 4u : 0u) | (allowAvx512 ? 8u : 0u),
                    std::memory_order_relaxed);
}

void RestrictCpuFeatures(bool allowSse, bool allowSse2, bool allowAvx2) {
  RestrictCpuFeatures(allowSse, allowSse2, allowAvx2, allowAvx2);
}

int UsableProcessorCount() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
    const int count = CPU_COUNT(&mask);
    if (count > 0) return count;
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

}  // namespace ko
