#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "filter/filter_test_util.h"
#include "ko/core/img.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/filter/separable_filter.h"
#include "ko/platform/cpu_features.h"
#include "ko/platform/memory.h"

namespace ko {
namespace {

using test::RandomFloats;
using test::SameFloat;

CTypedImg<float> MakeImage(int32_t w, int32_t h, int32_t bands, const std::vector<float>& values) {
  CTypedImg<float> img;
  EXPECT_EQ(img.Create(w, h, bands, 0), S_OK);
  size_t i = 0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w * bands; ++x) img.Row(y)[x] = values[i++];
  return img;
}

CTypedImg<float> MakeFilled(int32_t w, int32_t h, int32_t bands, float value) {
  return MakeImage(w, h, bands, std::vector<float>(static_cast<size_t>(w) * h * bands, value));
}

void MakeKernel(CKernel& k, const std::vector<float>& taps, int32_t center) {
  ASSERT_EQ(k.SetSize(static_cast<int32_t>(taps.size()), center, taps.data()), S_OK);
}

// Position u of an axis of extent n under a border rule; false when the tap is dropped.
bool Resolve(int64_t u, int64_t n, int32_t border, int64_t* out) {
  if (u >= 0 && u < n) return *out = u, true;
  if (border == BorderSkip) return false;
  if (border == BorderClamp) return *out = u < 0 ? 0 : n - 1, true;
  int64_t r = u;
  while (r < 0) r += n;
  while (r >= n) r -= n;
  return *out = r, true;
}

// Straight from the definition: a convolution (taps reversed), the row kernel applied to each
// needed source row, the column taps summing those rows, everything in float.
std::vector<float> ReferenceFilter(const CTypedImg<float>& src, int32_t dw, int32_t dh, const CKernel& row,
                                   const CKernel& col, int32_t border) {
  const int32_t xs = src.width / dw, ys = src.height / dh, bands = src.bands;
  const int64_t W = static_cast<int64_t>(dw) * xs, H = static_cast<int64_t>(dh) * ys;
  std::vector<float> out;
  for (int32_t o = 0; o < dh; ++o) {
    for (int32_t q = 0; q < dw; ++q) {
      for (int32_t b = 0; b < bands; ++b) {
        float acc = 0.0f;
        for (int32_t j = 0; j < col.count; ++j) {
          int64_t v = 0;
          if (!Resolve(static_cast<int64_t>(o) * ys + j - col.center, H, border, &v)) continue;
          float filtered = 0.0f;
          for (int32_t k = 0; k < row.count; ++k) {
            int64_t u = 0;
            if (!Resolve(static_cast<int64_t>(q) * xs + k - row.center, W, border, &u)) continue;
            filtered += row.taps[row.count - 1 - k] * src.Row(static_cast<int32_t>(v))[u * bands + b];
          }
          acc += col.taps[col.count - 1 - j] * filtered;
        }
        out.push_back(acc);
      }
    }
  }
  return out;
}

void ExpectImageEquals(const CTypedImg<float>& img, const std::vector<float>& expected, const std::string& what) {
  size_t i = 0;
  for (int32_t y = 0; y < img.height; ++y)
    for (int32_t x = 0; x < img.width * img.bands; ++x, ++i)
      ASSERT_TRUE(SameFloat(img.Row(y)[x], expected[i]))
          << what << " at row " << y << " element " << x << ": " << img.Row(y)[x] << " vs " << expected[i];
}

TEST(FilterImageTest, MatchesTheDefinitionForEveryBorderStepAndBandCount) {
  std::mt19937 rng(5);
  struct Shape { int32_t sw, sh, dw, dh; };
  const Shape shapes[] = {{9, 7, 9, 7},   {16, 5, 16, 5}, {33, 12, 33, 12}, {10, 10, 5, 5},
                          {11, 9, 5, 3},  {8, 13, 4, 13}, {21, 6, 7, 2},    {6, 6, 6, 6}};
  for (bool vector : {true, false}) {
    RestrictCpuFeatures(vector, vector, vector);
    for (int32_t bands : {1, 3, 4}) {
      for (const Shape& s : shapes) {
        for (int32_t border : {BorderSkip, BorderWrap, BorderClamp}) {
          for (int trial = 0; trial < 3; ++trial) {
            const int32_t rowCount = std::uniform_int_distribution<int32_t>(1, std::min(s.sw, 9))(rng);
            const int32_t colCount = std::uniform_int_distribution<int32_t>(1, std::min(s.sh, 7))(rng);
            CKernel row, col;
            // Centres anywhere the size checks allow.
            const int32_t rowLo = std::max(0, rowCount - s.sw), colLo = std::max(0, colCount - s.sh);
            MakeKernel(row, RandomFloats(rng, rowCount, false),
                       std::uniform_int_distribution<int32_t>(rowLo, rowCount - 1)(rng));
            MakeKernel(col, RandomFloats(rng, colCount, false),
                       std::uniform_int_distribution<int32_t>(colLo, colCount - 1)(rng));
            const CTypedImg<float> src =
                MakeImage(s.sw, s.sh, bands, RandomFloats(rng, static_cast<size_t>(s.sw) * s.sh * bands, trial == 2));
            CTypedImg<float> dst;
            ASSERT_EQ(dst.Create(s.dw, s.dh, bands, 0), S_OK);
            ASSERT_EQ(FilterImage(src, dst, row, col, border), S_OK);
            ExpectImageEquals(dst, ReferenceFilter(src, s.dw, s.dh, row, col, border),
                              "bands " + std::to_string(bands) + " border " + std::to_string(border) + " size " +
                                  std::to_string(s.sw) + "x" + std::to_string(s.sh) + " vector " +
                                  std::to_string(vector));
          }
        }
      }
    }
  }
  RestrictCpuFeatures(true, true, true);
}

TEST(FilterImageTest, ConstantImageUnderTheThreeBorderRules) {
  CGaussianKernel k;
  ASSERT_EQ(k.Build(1.5f, 0, 3.0f), S_OK);
  const CTypedImg<float> src = MakeFilled(20, 15, 1, 3.0f);
  CTypedImg<float> dst;
  ASSERT_EQ(dst.Create(20, 15, 1, 0), S_OK);
  for (int32_t border : {BorderClamp, BorderWrap}) {
    ASSERT_EQ(FilterImage(src, dst, k, k, border), S_OK);
    for (int32_t y = 0; y < 15; ++y)
      for (int32_t x = 0; x < 20; ++x) EXPECT_NEAR(dst.At(x, y), 3.0f, 1e-5f) << border;
  }
  ASSERT_EQ(FilterImage(src, dst, k, k, BorderSkip), S_OK);
  EXPECT_NEAR(dst.At(10, 7), 3.0f, 1e-5f);
  EXPECT_LT(dst.At(0, 7), 2.9f);
  EXPECT_LT(dst.At(0, 0), dst.At(0, 7));
}

TEST(FilterImageTest, IdentityKernelCopies) {
  std::mt19937 rng(6);
  CKernel id;
  MakeKernel(id, {0.0f, 1.0f, 0.0f}, 1);
  const CTypedImg<float> src = MakeImage(13, 9, 4, RandomFloats(rng, 13 * 9 * 4, false));
  CTypedImg<float> dst;
  ASSERT_EQ(dst.Create(13, 9, 4, 0), S_OK);
  ASSERT_EQ(FilterImage(src, dst, id, id, BorderSkip), S_OK);
  for (int32_t y = 0; y < 9; ++y)
    for (int32_t x = 0; x < 13 * 4; ++x) EXPECT_EQ(dst.Row(y)[x], src.Row(y)[x]);
}

TEST(FilterImageTest, AppliesTheKernelAsAConvolution) {
  CKernel row, id;
  MakeKernel(row, {1.0f, 2.0f, 3.0f}, 1);
  MakeKernel(id, {1.0f}, 0);
  CTypedImg<float> src = MakeFilled(12, 1, 1, 0.0f);
  src.At(5, 0) = 1.0f;
  CTypedImg<float> dst;
  ASSERT_EQ(dst.Create(12, 1, 1, 0), S_OK);
  ASSERT_EQ(FilterImage(src, dst, row, id, BorderSkip), S_OK);
  for (int32_t x = 0; x < 12; ++x) EXPECT_EQ(dst.At(x, 0), x == 4 ? 1.0f : x == 5 ? 2.0f : x == 6 ? 3.0f : 0.0f) << x;
}

TEST(FilterImageTest, StepsSampleTheSourceGrid) {
  std::mt19937 rng(7);
  CKernel id;
  MakeKernel(id, {1.0f}, 0);
  const CTypedImg<float> src = MakeImage(10, 10, 1, RandomFloats(rng, 100, false));
  CTypedImg<float> dst;
  ASSERT_EQ(dst.Create(5, 5, 1, 0), S_OK);
  ASSERT_EQ(FilterImage(src, dst, id, id, BorderClamp), S_OK);
  for (int32_t o = 0; o < 5; ++o)
    for (int32_t q = 0; q < 5; ++q) EXPECT_EQ(dst.At(q, o), src.At(2 * q, 2 * o));
}

TEST(FilterImageTest, WrapUsesTheFilteredExtentAsPeriod) {
  // 11 wide into 5: step 2, W = 10, so column 10 is never read and wrapping has period 10.
  CKernel row, id;
  MakeKernel(row, {1.0f, 0.0f, 0.0f}, 1);  // reversed: reads x + 1
  MakeKernel(id, {1.0f}, 0);
  CTypedImg<float> src = MakeFilled(11, 1, 1, 0.0f);
  for (int32_t x = 0; x < 11; ++x) src.At(x, 0) = static_cast<float>(x);
  src.At(10, 0) = 1000.0f;
  CTypedImg<float> dst;
  ASSERT_EQ(dst.Create(5, 1, 1, 0), S_OK);
  ASSERT_EQ(FilterImage(src, dst, row, id, BorderWrap), S_OK);
  // Output q at x = 2q reads x + 1; the last reads position 9.
  for (int32_t q = 0; q < 5; ++q) EXPECT_EQ(dst.At(q, 0), static_cast<float>(2 * q + 1));
  MakeKernel(row, {1.0f, 0.0f, 0.0f}, 0);  // reversed: reads x + 2; q = 4 reads 10 -> 0
  ASSERT_EQ(FilterImage(src, dst, row, id, BorderWrap), S_OK);
  EXPECT_EQ(dst.At(4, 0), 0.0f);
}

TEST(FilterImageTest, ShortImageClampsEveryRowOnce) {
  std::mt19937 rng(8);
  CKernel row, col;
  MakeKernel(row, {0.25f, 0.5f, 0.25f}, 1);
  MakeKernel(col, RandomFloats(rng, 5, false), 2);
  const CTypedImg<float> src = MakeImage(6, 3, 1, RandomFloats(rng, 18, false));
  CTypedImg<float> dst;
  ASSERT_EQ(dst.Create(6, 3, 1, 0), S_OK);
  CSeparableFilter filter;
  ASSERT_EQ(filter.SetKernels(row, col), S_OK);
  ASSERT_EQ(filter.Apply(src, dst, BorderClamp), S_OK);
  EXPECT_EQ(filter.rowCache.height, 3);
  ExpectImageEquals(dst, ReferenceFilter(src, 6, 3, row, col, BorderClamp), "clamped 3 rows");
}

TEST(FilterImageTest, ReadsMisalignedViewsAndReusesTheFilter) {
  std::mt19937 rng(9);
  CGaussianKernel k;
  ASSERT_EQ(k.Build(1.0f, 0, 3.0f), S_OK);
  for (int32_t bands : {1, 4}) {
    CTypedImg<float> whole = MakeImage(40, 20, bands, RandomFloats(rng, 800 * bands, false));
    CTypedImg<float> view;
    const RECT r{3, 2, 30, 17};
    ASSERT_EQ(whole.ShareRect(&view, &r), S_OK);
    CTypedImg<float> copy;
    ASSERT_EQ(view.CopyTo(&copy), S_OK);
    CTypedImg<float> a, b;
    ASSERT_EQ(a.Create(27, 15, bands, 0), S_OK);
    ASSERT_EQ(b.Create(27, 15, bands, 0), S_OK);
    CSeparableFilter filter;
    ASSERT_EQ(filter.SetKernels(k, k), S_OK);
    ASSERT_EQ(filter.Apply(view, a, BorderWrap), S_OK);
    ASSERT_EQ(filter.Apply(copy, b, BorderWrap), S_OK);  // same filter, cache kept
    for (int32_t y = 0; y < 15; ++y)
      for (int32_t x = 0; x < 27 * bands; ++x) ASSERT_EQ(a.Row(y)[x], b.Row(y)[x]);
  }
}

TEST(FilterImageTest, RefusesWhatItCannotFilter) {
  CKernel k3, k7;
  MakeKernel(k3, {1.0f, 1.0f, 1.0f}, 1);
  MakeKernel(k7, std::vector<float>(7, 1.0f), 3);
  const CTypedImg<float> src = MakeFilled(8, 8, 1, 1.0f);
  CTypedImg<float> dst, none;
  ASSERT_EQ(dst.Create(9, 8, 1, 0), S_OK);
  EXPECT_EQ(FilterImage(src, dst, k3, k3, BorderClamp), E_INVALIDARG);  // wider than the source
  EXPECT_EQ(FilterImage(src, none, k3, k3, BorderClamp), E_INVALIDARG);  // no memory
  CTypedImg<float> threeBands;
  ASSERT_EQ(threeBands.Create(8, 8, 3, 0), S_OK);
  EXPECT_EQ(FilterImage(src, threeBands, k3, k3, BorderClamp), E_INVALIDARG);
  const CTypedImg<float> twoRows = MakeFilled(8, 2, 1, 1.0f);
  CTypedImg<float> twoOut;
  ASSERT_EQ(twoOut.Create(8, 2, 1, 0), S_OK);
  twoOut.At(0, 0) = 42.0f;
  EXPECT_EQ(FilterImage(twoRows, twoOut, k3, k7, BorderClamp), E_INVALIDARG);
  EXPECT_EQ(twoOut.At(0, 0), 42.0f);  // unchanged
  CTypedImg<unsigned char> bytes;
  ASSERT_EQ(bytes.Create(8, 8, 1, 0), S_OK);
  EXPECT_EQ(FilterImage(bytes, dst, k3, k3, BorderClamp), E_INVALIDARG);
  ASSERT_EQ(dst.Create(8, 8, 1, 0), S_OK);
  EXPECT_EQ(FilterImage(src, dst, k3, k3, 3), E_INVALIDARG);
  CSeparableFilter filter;
  EXPECT_EQ(filter.SetSteps(0, 1), E_INVALIDARG);
  EXPECT_EQ(filter.SetSteps(1, -2), E_INVALIDARG);
}

TEST(FilterImageTest, AllocationFailuresAreReportedAndLeaveTheDestination) {
  CGaussianKernel k;
  ASSERT_EQ(k.Build(1.0f, 0, 3.0f), S_OK);
  const CTypedImg<float> src = MakeFilled(16, 16, 1, 2.0f);
  CTypedImg<float> dst = MakeFilled(16, 16, 1, -1.0f);
  bool succeeded = false;
  for (int64_t n = 0; n < 50; ++n) {
    HRESULT hr;
    {
      ScopedAllocFailure fail(n);
      hr = FilterImage(src, dst, k, k, BorderClamp);
    }
    if (hr == S_OK) {
      succeeded = true;
      EXPECT_NEAR(dst.At(0, 0), 2.0f, 1e-6f);
      dst.At(0, 0) = -1.0f;
    } else {
      ASSERT_EQ(hr, E_OUTOFMEMORY) << n;
      ASSERT_EQ(dst.At(0, 0), -1.0f) << n;
    }
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
}  // namespace ko
