#include <gtest/gtest.h>

#include <cstring>

#include "ko/core/mem_share.h"
#include "ko/platform/memory.h"

using namespace ko;

namespace {

TEST(MemShare, AllocationSizesAndAlignmentFollowTheMode) {
  CMemShare m;
  auto* p = static_cast<uint8_t*>(m.Alloc(100, 2, false));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(m.blockSize, 128u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  std::memset(p, 0xAB, 100);
  // Same allocation size: same pointer, same contents.
  EXPECT_EQ(m.Alloc(100, 2, false), p);
  EXPECT_EQ(p[99], 0xAB);
  // 120 bytes need 144: a new block, which starts zero-filled.
  auto* q = static_cast<uint8_t*>(m.Alloc(120, 2, false));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(m.blockSize, 144u);
  for (int i = 0; i < 120; ++i) ASSERT_EQ(q[i], 0) << i;

  CMemShare big;
  auto* r = static_cast<uint8_t*>(big.Alloc(1, 4, true));
  EXPECT_EQ(big.blockSize, 256u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(r) % 128, 0u);
  EXPECT_EQ(r[0], 0);

  CMemShare plain;
  plain.Alloc(10, 0, false);
  EXPECT_EQ(plain.blockSize, 10u);
  EXPECT_EQ(plain.data, plain.rawBlock);
}

TEST(MemShare, UsableBytesAlwaysCoverTheRequest) {
  for (uint32_t size = 1; size < 600; size += 7) {
    for (int mode = 0; mode <= 4; ++mode) {
      CMemShare m;
      auto* p = static_cast<uint8_t*>(m.Alloc(size, mode, true));
      ASSERT_NE(p, nullptr);
      const auto* end = static_cast<uint8_t*>(m.rawBlock) + m.blockSize;
      EXPECT_LE(p + size, end) << size << " " << mode;
    }
  }
}

TEST(MemShare, FailedAllocationLeavesTheBlockAsItWas) {
  CMemShare m;
  void* p = m.Alloc(64, 1, false);
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(m.Alloc(4096, 1, false), nullptr);
  }
  EXPECT_EQ(m.data, p);
  EXPECT_EQ(m.blockSize, 32u + 64u);
  uint32_t total = 0;
  EXPECT_FALSE(CMemShare::AllocationSize(0xFFFFFFF0u, 4, &total));
  EXPECT_EQ(m.Alloc(0xFFFFFFF0u, 4, false), nullptr);
}

TEST(MemShare, ExternalMemoryIsNeverFreed) {
  alignas(16) static uint8_t external[64] = {1, 2, 3};
  auto* m = new CMemShare;
  m->Alloc(32, 0, false);
  EXPECT_EQ(m->AttachExternal(external), external);
  EXPECT_EQ(m->rawBlock, nullptr);
  EXPECT_EQ(m->blockSize, 0u);
  EXPECT_EQ(m->AddRef(), 2);
  EXPECT_EQ(m->Release(), 1);
  EXPECT_EQ(m->Release(), 0);  // frees the block object, not `external`
  EXPECT_EQ(external[2], 3);
}

}  // namespace
