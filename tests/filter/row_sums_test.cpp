// The vector forms of the row sums and of the one-band row filter and the scaled-row
// accumulation against their scalar rules, bit for bit, on rows with awkward values and
// every length up to a few vectors.
#include "ko/filter/row_sums.h"

#include <gtest/gtest.h>

#include "filter/filter_test_util.h"
#include "ko/filter/add_scaled_row.h"
#include "ko/filter/filter_row.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/platform/cpu_features.h"

namespace ko {
namespace {

using test::RandomFloats;
using test::SameFloat;

int Differences(const std::vector<float>& a, const std::vector<float>& b) {
  int n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += !SameFloat(a[i], b[i]);
  return n;
}

TEST(RowSumsTest, FilterPaddedRowFormsMatchTheScalarOne) {
  if (!GetHardwareCpuFeatures().avx2) GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(31);
  for (int32_t n : {1, 3, 13, 17}) {
    for (int32_t width = 0; width < 80; ++width) {
      const std::vector<float> taps = RandomFloats(rng, static_cast<size_t>(n), false);
      const std::vector<float> padded = RandomFloats(rng, static_cast<size_t>(width + n), true);
      std::vector<float> scalar(static_cast<size_t>(width)), sse2 = scalar, avx2 = scalar;
      FilterPaddedRowScalar(padded.data(), taps.data(), n, width, scalar.data());
      FilterPaddedRowSse2(padded.data(), taps.data(), n, width, sse2.data());
      FilterPaddedRowAvx2(padded.data(), taps.data(), n, width, avx2.data());
      ASSERT_EQ(Differences(scalar, sse2), 0) << n << " " << width;
      ASSERT_EQ(Differences(scalar, avx2), 0) << n << " " << width;
    }
  }
}

TEST(RowSumsTest, SumScaledRowsFormsMatchTheScalarOne) {
  if (!GetHardwareCpuFeatures().avx2) GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(32);
  for (int32_t n : {1, 2, 13}) {
    for (int32_t width = 0; width < 80; ++width) {
      const std::vector<float> weights = RandomFloats(rng, static_cast<size_t>(n), false);
      std::vector<std::vector<float>> rows;
      std::vector<const float*> pointers;
      for (int32_t j = 0; j < n; ++j) rows.push_back(RandomFloats(rng, static_cast<size_t>(width), true));
      for (const auto& r : rows) pointers.push_back(r.data());
      std::vector<float> scalar(static_cast<size_t>(width)), sse2 = scalar, avx2 = scalar;
      SumScaledRowsScalar(pointers.data(), weights.data(), n, width, scalar.data());
      SumScaledRowsSse2(pointers.data(), weights.data(), n, width, sse2.data());
      SumScaledRowsAvx2(pointers.data(), weights.data(), n, width, avx2.data());
      ASSERT_EQ(Differences(scalar, sse2), 0) << n << " " << width;
      ASSERT_EQ(Differences(scalar, avx2), 0) << n << " " << width;
    }
  }
}

// The column pass in registers gives what accumulating row after row into memory gives.
TEST(RowSumsTest, SumScaledRowsEqualsRepeatedAddScaledRow) {
  std::mt19937 rng(33);
  const int32_t width = 61, n = 13;
  std::vector<std::vector<float>> rows;
  std::vector<const float*> pointers;
  for (int32_t j = 0; j < n; ++j) rows.push_back(RandomFloats(rng, width, true));
  for (const auto& r : rows) pointers.push_back(r.data());
  const std::vector<float> weights = RandomFloats(rng, n, false);
  std::vector<float> summed(width), accumulated(width, 0.0f);
  SumScaledRows(pointers.data(), weights.data(), n, width, summed.data());
  for (int32_t j = 0; j < n; ++j) AddScaledRowScalar(rows[j].data(), accumulated.data(), weights[j], width);
  EXPECT_EQ(Differences(summed, accumulated), 0);
}

TEST(RowSumsTest, AvxRowFilterAndScaledRowMatchTheScalarRules) {
  if (!GetHardwareCpuFeatures().avx2) GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(34);
  CGaussianKernel kernel;
  ASSERT_EQ(kernel.Build(2.0f, 1, 3.0f), S_OK);
  for (int32_t border : {BorderSkip, BorderWrap, BorderClamp}) {
    for (int32_t width = 1; width < 90; ++width) {
      const std::vector<float> row = RandomFloats(rng, static_cast<size_t>(width), true);
      std::vector<float> scalar(static_cast<size_t>(width)), avx2 = scalar;
      FilterRow1Scalar(row.data(), scalar.data(), kernel, width, 1, border);
      FilterRow1Avx2(row.data(), avx2.data(), kernel, width, 1, border);
      ASSERT_EQ(Differences(scalar, avx2), 0) << border << " " << width;
    }
  }
  for (int32_t count = 0; count < 100; ++count) {
    const std::vector<float> source = RandomFloats(rng, static_cast<size_t>(count), true);
    std::vector<float> scalar = RandomFloats(rng, static_cast<size_t>(count), true), avx2 = scalar;
    AddScaledRowScalar(source.data(), scalar.data(), 0.37f, count);
    AddScaledRowAvx2(source.data(), avx2.data(), 0.37f, count);
    ASSERT_EQ(Differences(scalar, avx2), 0) << count;
  }
}

}  // namespace
}  // namespace ko
