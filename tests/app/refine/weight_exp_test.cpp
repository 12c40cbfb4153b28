// The vector exponential of the orientation weight against the C library, for every float
// argument the weight can meet: every float in [-4, -2^-26] is tried (about 235 million), and
// below 2^-26 in magnitude, where the result is 1 by the argument given in weight_exp.cpp,
// a dense sample. Under the sanitizers, which make this slow, a regular subset is tried.
#include "app/refine/weight_exp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "app/float_math.h"
#include "app/schedule.h"
#include "app/threads/thread_pool.h"
#include "ko/platform/cpu_features.h"

namespace brevant {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kStride = 61;
#else
constexpr uint32_t kStride = 1;
#endif

float FromBits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The vector forms this processor has.
std::vector<WeightExpFn> VectorForms() {
  std::vector<WeightExpFn> forms;
  const ko::CpuFeatures cpu = ko::GetHardwareCpuFeatures();
  if (cpu.avx2) forms.push_back(WeightExpAvx2);
  if (cpu.avx512) forms.push_back(WeightExpAvx512);
  return forms;
}

// Mismatches between a vector form and the library over the bit patterns [first, last],
// every `stride`-th one.
int64_t Mismatches(WeightExpFn form, uint32_t first, uint32_t last, uint32_t stride) {
  constexpr uint32_t kBlock = 1 << 16;
  const uint64_t count = (static_cast<uint64_t>(last) - first) / stride + 1;
  const int64_t blocks = static_cast<int64_t>((count + kBlock - 1) / kBlock);
  std::atomic<int64_t> mismatches{0};
  CThreadPool pool(CSchedule::ResolveThreads(0));
  pool.ParallelFor(blocks, [&](int64_t b, int32_t) {
    std::vector<float> q(kBlock), fast(kBlock), library(kBlock);
    const uint64_t start = static_cast<uint64_t>(b) * kBlock;
    const int32_t n = static_cast<int32_t>(std::min<uint64_t>(kBlock, count - start));
    for (int32_t i = 0; i < n; ++i) q[i] = FromBits(static_cast<uint32_t>(first + (start + i) * stride));
    form(q.data(), fast.data(), n);
    WeightExpLibrary(q.data(), library.data(), n);
    int64_t bad = 0;
    for (int32_t i = 0; i < n; ++i) bad += !SameBits(fast[i], library[i]);
    mismatches += bad;
  });
  return mismatches.load();
}

TEST(WeightExpTest, EqualsTheLibraryForEveryArgumentOfTheWeight) {
  if (VectorForms().empty()) GTEST_SKIP() << "no AVX2 here";
  for (WeightExpFn form : VectorForms()) {
    // Negative floats: -2^-26 is 0xB2800000, -4 is 0xC0800000.
    EXPECT_EQ(Mismatches(form, 0xB2800000u, 0xC0800000u, kStride), 0);
    // -0 and the magnitudes below 2^-26, subnormals included.
    EXPECT_EQ(Mismatches(form, 0x80000000u, 0xB27FFFFFu, 97 * kStride), 0);
    float zero = 0.0f, out = 0.0f;
    form(&zero, &out, 1);
    EXPECT_EQ(out, 1.0f);
  }
}

// Arguments outside [-4, 0] (only hostile orientations give them) go to the library.
TEST(WeightExpTest, ArgumentsOutsideTheRangeAreTheLibrarys) {
  if (VectorForms().empty()) GTEST_SKIP() << "no AVX2 here";
  const float values[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::infinity(), -4.0000005f, -87.5f, -104.0f, -3000.0f,
                          1e-30f, 0.5f, 3.0f, -1.0f, -2.5f};
  const int32_t n = static_cast<int32_t>(sizeof values / sizeof values[0]);
  float fast[16], library[16];
  WeightExpLibrary(values, library, n);
  for (WeightExpFn form : VectorForms()) {
    form(values, fast, n);
    for (int32_t i = 0; i < n; ++i)
      EXPECT_TRUE(SameBits(fast[i], library[i]) || (std::isnan(fast[i]) && std::isnan(library[i]))) << values[i];
  }
}

}  // namespace
}  // namespace brevant
