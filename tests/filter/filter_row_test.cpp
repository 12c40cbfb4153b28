// The vector row filters and row accumulation must give the scalar rule's bits exactly.
#include <gtest/gtest.h>

#include <random>

#include "filter/filter_test_util.h"
#include "ko/filter/add_scaled_row.h"
#include "ko/filter/filter_row.h"
#include "ko/platform/cpu_features.h"

namespace ko {
namespace {

using test::AlignedFloats;
using test::RandomFloats;
using test::SameFloat;

void SetTaps(CKernel& kernel, const std::vector<float>& taps, int32_t center) {
  ASSERT_EQ(kernel.SetSize(static_cast<int32_t>(taps.size()), center, taps.data()), S_OK);
}

using RowFilter = void (*)(const float*, float*, const CKernel&, int32_t, int32_t, int32_t);

// Runs both forms on the same row and compares every output, plus the guard beyond the end.
void ExpectSameRows(RowFilter scalar, RowFilter vector, int32_t bands, std::mt19937& rng, bool awkward) {
  const int32_t widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 17, 19, 23, 31, 32, 33, 40, 64, 100, 257};
  for (int32_t width : widths) {
    for (int32_t count : {1, 2, 3, 4, 5, 7, 9, 13, 17}) {
      CKernel kernel;
      SetTaps(kernel, RandomFloats(rng, count, awkward), std::uniform_int_distribution<int32_t>(0, count - 1)(rng));
      for (int32_t border : {BorderSkip, BorderWrap, BorderClamp}) {
        for (int32_t step : {1, 2, 3}) {
          for (size_t offset : {0, 1, 2, 3}) {
            const size_t floats = static_cast<size_t>(width) * bands;
            AlignedFloats source(floats, offset);
            const std::vector<float> values = RandomFloats(rng, floats, awkward);
            std::copy(values.begin(), values.end(), source.data());
            const size_t outFloats = static_cast<size_t>(FilteredRowLength(width, step)) * bands;
            AlignedFloats a(outFloats + 4, (offset + 1) % 4), b(outFloats + 4, (offset + 3) % 4);
            std::fill(a.data(), a.data() + outFloats + 4, 77.0f);
            std::fill(b.data(), b.data() + outFloats + 4, 77.0f);
            scalar(source.data(), a.data(), kernel, width, step, border);
            vector(source.data(), b.data(), kernel, width, step, border);
            for (size_t i = 0; i < outFloats + 4; ++i) {
              ASSERT_TRUE(SameFloat(a.data()[i], b.data()[i]))
                  << "width " << width << " taps " << count << " centre " << kernel.center << " border " << border
                  << " step " << step << " offset " << offset << " index " << i << ": " << a.data()[i] << " vs "
                  << b.data()[i];
            }
            for (size_t i = outFloats; i < outFloats + 4; ++i) ASSERT_EQ(a.data()[i], 77.0f) << "wrote past the row";
          }
        }
      }
    }
  }
}

void Generic1(const float* s, float* t, const CKernel& k, int32_t w, int32_t step, int32_t border) {
  FilterRowGeneric(s, t, k, w, 1, step, border);
}
void Generic4(const float* s, float* t, const CKernel& k, int32_t w, int32_t step, int32_t border) {
  FilterRowGeneric(s, t, k, w, 4, step, border);
}

TEST(FilterRowTest, OneBandVectorFormEqualsScalar) {
  std::mt19937 rng(11);
  ExpectSameRows(FilterRow1Scalar, FilterRow1Sse2, 1, rng, false);
  ExpectSameRows(FilterRow1Scalar, FilterRow1Sse2, 1, rng, true);
}

TEST(FilterRowTest, FourBandVectorFormEqualsScalar) {
  std::mt19937 rng(12);
  ExpectSameRows(FilterRow4Scalar, FilterRow4Sse2, 4, rng, false);
  ExpectSameRows(FilterRow4Scalar, FilterRow4Sse2, 4, rng, true);
}

TEST(FilterRowTest, GenericFormEqualsTheBandForms) {
  std::mt19937 rng(13);
  ExpectSameRows(FilterRow1Scalar, Generic1, 1, rng, true);
  ExpectSameRows(FilterRow4Scalar, Generic4, 4, rng, true);
}

TEST(FilterRowTest, DispatchHonoursTheFeatureRestriction) {
  // With SSE2 withheld the dispatcher must still give the same bits (it runs the scalar form).
  std::mt19937 rng(14);
  CKernel kernel;
  SetTaps(kernel, RandomFloats(rng, 7, false), 3);
  for (int32_t bands : {1, 3, 4}) {
    const int32_t width = 37;
    const std::vector<float> source = RandomFloats(rng, static_cast<size_t>(width) * bands, true);
    std::vector<float> fast(static_cast<size_t>(width) * bands), slow(fast.size());
    FilterRow(source.data(), fast.data(), kernel, width, bands, 1, BorderClamp);
    RestrictCpuFeatures(false, false, false);
    FilterRow(source.data(), slow.data(), kernel, width, bands, 1, BorderClamp);
    RestrictCpuFeatures(true, true, true);
    for (size_t i = 0; i < fast.size(); ++i) ASSERT_TRUE(SameFloat(fast[i], slow[i])) << bands << " bands, " << i;
  }
}

TEST(FilterRowTest, SumsInIncreasingTapOrderInSinglePrecision) {
  // 1e8 + 1 - 1e8 in float loses the 1 when added in this order; a reordered or wider sum
  // would keep it.
  CKernel kernel;
  SetTaps(kernel, {1.0f, 1.0f, -1.0f}, 1);
  const float row[3] = {1.0e8f, 1.0f, 1.0e8f};
  float out[3];
  FilterRow1Scalar(row, out, kernel, 3, 1, BorderSkip);
  EXPECT_EQ(out[1], 0.0f);
  FilterRow1Sse2(row, out, kernel, 3, 1, BorderSkip);
  EXPECT_EQ(out[1], 0.0f);
}

TEST(AddScaledRowTest, VectorFormEqualsScalar) {
  std::mt19937 rng(21);
  for (bool awkward : {false, true}) {
    for (int32_t count = 0; count <= 70; ++count) {
      for (size_t sourceOffset : {0, 1, 2, 3}) {
        for (size_t targetOffset : {0, 1, 3}) {
          const float weight = RandomFloats(rng, 1, awkward)[0];
          AlignedFloats source(count + 1, sourceOffset), a(count + 1, targetOffset), b(count + 1, targetOffset);
          const std::vector<float> s = RandomFloats(rng, count + 1, awkward);
          const std::vector<float> t = RandomFloats(rng, count + 1, awkward);
          std::copy(s.begin(), s.end(), source.data());
          std::copy(t.begin(), t.end(), a.data());
          std::copy(t.begin(), t.end(), b.data());
          AddScaledRowScalar(source.data(), a.data(), weight, count);
          AddScaledRowSse(source.data(), b.data(), weight, count);
          for (int32_t i = 0; i <= count; ++i)
            ASSERT_TRUE(SameFloat(a.data()[i], b.data()[i])) << "count " << count << " index " << i;
          ASSERT_TRUE(SameFloat(a.data()[count], t[count])) << "wrote past the row";
        }
      }
    }
  }
}

TEST(AddScaledRowTest, RoundsTheProductBeforeTheSum) {
  // weight * source = 1 + 2^-22 + 2^-46 exactly; rounded to float first it loses 2^-46, so
  // adding -(1 + 2^-22) gives 0. A fused multiply-add would keep 2^-46.
  const float w = 1.0f + 0x1p-23f;
  const float source[1] = {1.0f + 0x1p-23f};
  float target[1] = {-(1.0f + 0x1p-22f)};
  AddScaledRowScalar(source, target, w, 1);
  EXPECT_EQ(target[0], 0.0f);
}

}  // namespace
}  // namespace ko
