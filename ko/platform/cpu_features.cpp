#include "ko/platform/cpu_features.h"

#include <atomic>

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
    bool osYmm = false;
    if (osxsave && avx) {
      unsigned lo = 0, hi = 0;
      __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      osYmm = (lo & 0x6) == 0x6;
    }
    if (osYmm && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) f.avx2 = (ebx >> 5) & 1;
  }
#endif
  return f;
}

std::atomic<unsigned> g_allowMask{7};

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
  return f;
}

void RestrictCpuFeatures(bool allowSse, bool allowSse2, bool allowAvx2) {
  g_allowMask.store((allowSse ? 1u : 0u) | (allowSse2 ? 2u : 0u) | (allowAvx2 ? 4u : 0u),
                    std::memory_order_relaxed);
}

}  // namespace ko
