#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "ko/core/byte_ops.h"
#include "ko/platform/cpu_features.h"

using namespace ko;

namespace {

class ByteOps : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { RestrictCpuFeatures(GetParam(), GetParam(), GetParam()); }
  void TearDown() override { RestrictCpuFeatures(true, true, true); }
};

TEST_P(ByteOps, FillMatchesMemsetAtEveryLengthAndAlignment) {
  std::vector<uint8_t> ours(700), reference(700);
  for (size_t offset = 0; offset < 17; ++offset) {
    for (size_t n = 0; n < 600; n += (n < 140 ? 1 : 37)) {
      std::fill(ours.begin(), ours.end(), 0x5A);
      std::fill(reference.begin(), reference.end(), 0x5A);
      FillBytes(ours.data() + offset, 0xC3, n);
      std::memset(reference.data() + offset, 0xC3, n);
      ASSERT_EQ(ours, reference) << "offset " << offset << " n " << n;
    }
  }
}

TEST_P(ByteOps, CopyMatchesMemcpyForAlignedAndMisalignedSources) {
  std::mt19937 rng(7);
  std::vector<uint8_t> src(800);
  for (auto& b : src) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> ours(800), reference(800);
  for (size_t dOff = 0; dOff < 17; dOff += 3) {
    for (size_t sOff = 0; sOff < 17; ++sOff) {
      for (size_t n : {0, 1, 15, 16, 17, 31, 64, 127, 128, 129, 300, 700}) {
        std::fill(ours.begin(), ours.end(), 0);
        std::fill(reference.begin(), reference.end(), 0);
        CopyBytes(ours.data() + dOff, src.data() + sOff, n);
        std::memcpy(reference.data() + dOff, src.data() + sOff, n);
        ASSERT_EQ(ours, reference) << dOff << " " << sOff << " " << n;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(VectorAndScalar, ByteOps, ::testing::Values(true, false));

}  // namespace
