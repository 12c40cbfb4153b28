#include <gtest/gtest.h>

#include "ko/platform/cpu_features.h"
#include "ko/platform/memory.h"
#include "ko/platform/sequential_stream.h"

using namespace ko;

namespace {

TEST(MemoryStream, ReadsReportShortDataWithSFalse) {
  CMemoryStream s;
  uint32_t n = 0;
  ASSERT_EQ(s.Write("abcdef", 6, &n), S_OK);
  EXPECT_EQ(n, 6u);
  s.Rewind();
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 4, &n), S_OK);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(s.Read(buf, 4, &n), S_FALSE);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(s.Read(buf, 4, &n), S_FALSE);
  EXPECT_EQ(n, 0u);
  s.LimitSize(7);
  EXPECT_EQ(s.Write("xy", 2, &n), E_FAIL);
  s.FailReadsWith(E_ACCESSDENIED);
  EXPECT_EQ(s.Read(buf, 1, &n), E_ACCESSDENIED);
}

TEST(AllocFailure, CountdownFailsExactlyTheChosenAllocation) {
  {
    ScopedAllocFailure fail(2);
    void* a = KoMalloc(8);
    void* b = KoCalloc(8);
    void* c = KoMalloc(8);
    void* d = KoMalloc(8);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    KoFree(a);
    KoFree(b);
    KoFree(d);
  }
  EXPECT_EQ(KoNewArray<uint64_t>(SIZE_MAX / 4), nullptr);
}

TEST(CpuFeatures, RestrictionOnlyRemovesFeatures) {
  const CpuFeatures hw = GetHardwareCpuFeatures();
#if defined(__x86_64__)
  EXPECT_TRUE(hw.sse2);
#endif
  EXPECT_TRUE(!hw.avx512 || hw.avx2);
  RestrictCpuFeatures(false, false, false);
  EXPECT_FALSE(GetCpuFeatures().sse2);
  EXPECT_FALSE(GetCpuFeatures().avx2);
  EXPECT_FALSE(GetCpuFeatures().avx512);
  // AVX-512 code uses AVX2 too: allowing it alone allows nothing.
  RestrictCpuFeatures(true, true, false, true);
  EXPECT_FALSE(GetCpuFeatures().avx512);
  RestrictCpuFeatures(true, true, true, false);
  EXPECT_EQ(GetCpuFeatures().avx2, hw.avx2);
  EXPECT_FALSE(GetCpuFeatures().avx512);
  RestrictCpuFeatures(true, true, true);
  EXPECT_EQ(GetCpuFeatures().sse2, hw.sse2);
  EXPECT_EQ(GetCpuFeatures().avx2, hw.avx2);
  EXPECT_EQ(GetCpuFeatures().avx512, hw.avx512);
}

}  // namespace
