#include <gtest/gtest.h>

#include <cmath>

#include "ko/filter/gaussian.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/filter/kernel.h"
#include "ko/platform/memory.h"

namespace ko {
namespace {

TEST(KernelTest, NewKernelIsTheIdentity) {
  CKernel k;
  EXPECT_EQ(k.lastError, 0);
  ASSERT_EQ(k.count, 1);
  EXPECT_EQ(k.center, 0);
  EXPECT_EQ(k.taps[0], 1.0f);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(k.taps) % 16, 0u);
}

TEST(KernelTest, SetSizeMakesAnImpulseOrCopiesTheSource) {
  CKernel k;
  ASSERT_EQ(k.SetSize(5, 3, nullptr), S_OK);
  EXPECT_EQ(k.count, 5);
  EXPECT_EQ(k.center, 3);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(k.taps[i], i == 3 ? 1.0f : 0.0f);
  const float source[3] = {0.25f, -2.0f, 7.0f};
  ASSERT_EQ(k.SetSize(3, 0, source), S_OK);
  EXPECT_EQ(k.taps[0], 0.25f);
  EXPECT_EQ(k.taps[1], -2.0f);
  EXPECT_EQ(k.taps[2], 7.0f);
}

TEST(KernelTest, SetSizeRejectsBadShapesAndRecordsIt) {
  CKernel k;
  EXPECT_EQ(k.SetSize(3, 3, nullptr), E_INVALIDARG);
  EXPECT_EQ(k.lastError, E_INVALIDARG);
  EXPECT_EQ(k.SetSize(0, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(k.SetSize(3, -1, nullptr), E_INVALIDARG);
  EXPECT_EQ(k.count, 1);  // unchanged
}

TEST(KernelTest, AllocationFailureLeavesAnEmptyKernel) {
  CKernel k;
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(k.SetSize(7, 3, nullptr), E_OUTOFMEMORY);
  }
  EXPECT_EQ(k.lastError, E_OUTOFMEMORY);
  EXPECT_EQ(k.count, 0);
  EXPECT_EQ(k.center, 0);
  EXPECT_EQ(k.taps, nullptr);
}

TEST(ErfTest, MatchesTheLibraryErrorFunctionWithinTheApproximation) {
  for (double x = -7.0; x <= 7.0; x += 0.01) {
    // Fractional error below 1.2e-7 of the complementary function (plus the rounding of 1 - Erf).
    EXPECT_NEAR(1.0 - Erf(x), std::erfc(x), 1.2e-7 * std::erfc(x) + 4e-16) << x;
  }
  EXPECT_EQ(Erf(6.5), 1.0);
  EXPECT_EQ(Erf(-6.5), -1.0);
}

TEST(GaussianKernelTest, SmoothingKernelOfSigma2) {
  CGaussianKernel k;
  ASSERT_EQ(k.Build(2.0f, 0, 3.0f), S_OK);
  ASSERT_EQ(k.count, 13);
  EXPECT_EQ(k.center, 6);
  EXPECT_EQ(k.sigma, 2.0f);
  EXPECT_EQ(k.order, 0);
  EXPECT_NEAR(k.taps[6], 0.197641, 1e-6);
  EXPECT_NEAR(k.taps[0], 0.00240551, 1e-8);
  double sum = 0.0;
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(k.taps[i], k.taps[12 - i]);
    sum += k.taps[i];
  }
  EXPECT_NEAR(sum, 1.0, 1e-6);
}

TEST(GaussianKernelTest, TapsAreTheIntegralOverEachPixel) {
  // Order 0 of sigma 1, width 1: three pixels of the normal density, normalised.
  CGaussianKernel k;
  ASSERT_EQ(k.Build(1.0f, 0, 1.0f), S_OK);
  ASSERT_EQ(k.count, 3);
  EXPECT_NEAR(k.taps[0], 0.27901, 1e-5);
  EXPECT_NEAR(k.taps[1], 0.44198, 1e-5);
  EXPECT_NEAR(k.taps[2], 0.27901, 1e-5);
  const double inner = std::erf(0.5 / std::sqrt(2.0));
  const double outer = 0.5 * (std::erf(1.5 / std::sqrt(2.0)) - inner);
  EXPECT_NEAR(k.taps[1], inner / (inner + 2 * outer), 2e-7);
}

TEST(GaussianKernelTest, DerivativeKernels) {
  CGaussianKernel k;
  ASSERT_EQ(k.Build(2.0f, 1, 3.0f), S_OK);
  ASSERT_EQ(k.count, 13);
  EXPECT_EQ(k.taps[6], 0.0f);
  EXPECT_NEAR(k.taps[0], 0.00353226, 1e-8);  // positive on the negative-offset side
  EXPECT_NEAR(k.taps[12], -0.00353226, 1e-8);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(k.taps[i], -k.taps[12 - i]);

  ASSERT_EQ(k.Build(2.0f, 2, 3.0f), S_OK);
  EXPECT_NEAR(k.taps[6], -0.0483335, 1e-7);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(k.taps[i], k.taps[12 - i]);

  // Orders 3 and 4: each tap is the order-th derivative of the normal density integrated
  // over its pixel; compare with a numeric integral.
  for (int order = 3; order <= 4; ++order) {
    ASSERT_EQ(k.Build(1.5f, order, 3.0f), S_OK);
    for (int t = 0; t < k.count; ++t) {
      const double x = t - k.center;
      const double s = 1.5, m = 1.0 / (s * s);
      auto g = [&](double u) { return std::exp(-u * u / (2 * s * s)) / (s * std::sqrt(2 * M_PI)); };
      auto dn = [&](double u) {  // order-th derivative of g
        const double gu = g(u);
        return order == 3 ? (3 * u * m * m - u * u * u * m * m * m) * gu
                          : (3 * m * m - 6 * u * u * m * m * m + u * u * u * u * m * m * m * m) * gu;
      };
      double integral = 0.0;
      for (int i = 0; i < 2000; ++i) integral += dn(x - 0.5 + (i + 0.5) / 2000.0) / 2000.0;
      EXPECT_NEAR(k.taps[t], integral, 1e-6) << "order " << order << " tap " << t;
    }
  }
}

TEST(GaussianKernelTest, NarrowAndDegenerateWidths) {
  CGaussianKernel k;
  ASSERT_EQ(k.Build(0.3f, 0, 3.0f), S_OK);
  EXPECT_EQ(k.count, 3);
  ASSERT_EQ(k.Build(0.0f, 0, 3.0f), S_OK);
  ASSERT_EQ(k.count, 3);
  EXPECT_EQ(k.taps[0], 0.0f);
  EXPECT_EQ(k.taps[1], 1.0f);
  EXPECT_EQ(k.taps[2], 0.0f);
}

TEST(GaussianKernelTest, RejectsBadArgumentsAndKeepsItsState) {
  CGaussianKernel k;
  ASSERT_EQ(k.Build(2.0f, 1, 3.0f), S_OK);
  const float centre = k.taps[0];
  EXPECT_EQ(k.Build(0.0f, 1, 3.0f), E_INVALIDARG);
  EXPECT_EQ(k.Build(1.0f, 5, 3.0f), E_INVALIDARG);
  EXPECT_EQ(k.Build(1.0f, -1, 3.0f), E_INVALIDARG);
  EXPECT_EQ(k.Build(1.0f, 0, 0.5f), E_INVALIDARG);
  EXPECT_EQ(k.Build(-1.0f, 0, 3.0f), E_INVALIDARG);
  EXPECT_EQ(k.Build(NAN, 0, 3.0f), E_INVALIDARG);
  EXPECT_EQ(k.Build(1.0f, 0, INFINITY), E_INVALIDARG);
  EXPECT_EQ(k.lastError, 0);
  EXPECT_EQ(k.sigma, 2.0f);
  EXPECT_EQ(k.order, 1);
  EXPECT_EQ(k.count, 13);
  EXPECT_EQ(k.taps[0], centre);
}

TEST(GaussianKernelTest, AllocationFailureIsReported) {
  CGaussianKernel k;
  ScopedAllocFailure fail(0);
  EXPECT_EQ(k.Build(3.0f, 0, 3.0f), E_OUTOFMEMORY);
  EXPECT_EQ(k.count, 0);
}

}  // namespace
}  // namespace ko
