// Processor feature query: read once on first use, then read-only.
#pragma once

namespace ko {

struct CpuFeatures {
  bool sse = false;
  bool sse2 = false;
  bool avx2 = false;
  // AVX-512 F, VL and DQ with the operating system saving the 512-bit state; only ever set
  // together with avx2.
  bool avx512 = false;
};

// The features in effect: the processor's, unless a test has restricted them.
CpuFeatures GetCpuFeatures();

// The processors this process may run on (its affinity mask, as taskset sets it), at least
// 1: what a pool of worker threads should be sized for.
int UsableProcessorCount();

// What the processor reports, ignoring any restriction.
const CpuFeatures& GetHardwareCpuFeatures();

// Tests force the scalar paths by restricting the reported features; passing true for
// all restores the processor's own. The restriction can only remove features. The
// three-flag form allows AVX-512 exactly when it allows AVX2.
void RestrictCpuFeatures(bool allowSse, bool allowSse2, bool allowAvx2, bool allowAvx512);
void RestrictCpuFeatures(bool allowSse, bool allowSse2, bool allowAvx2);

}  // namespace ko
