// Processor feature query: read once on first use, then read-only.
#pragma once

namespace ko {

struct CpuFeatures {
  bool sse = false;
  bool sse2 = false;
  bool avx2 = false;
};

// The features in effect: the processor's, unless a test has restricted them.
CpuFeatures GetCpuFeatures();

// What the processor reports, ignoring any restriction.
const CpuFeatures& GetHardwareCpuFeatures();

// Tests force the scalar paths by restricting the reported features; passing true for
// all three restores the processor's own. The restriction can only remove features.
void RestrictCpuFeatures(bool allowSse, bool allowSse2, bool allowAvx2);

}  // namespace ko
