#include "app/contrast/contrast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "app/lanes/lanes.h"
#include "app/pipeline_test_util.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

namespace rule {
#include "app/contrast/contrast_rule.h"
}  // namespace rule

using test::MakePlane;
using test::SameFloat;

// The 13-tap Gaussian of sigma 2 over a replicated border, straight from the definition:
// along x first, then the column taps over those row sums, in float.
std::vector<float> ReferenceSmooth(const std::vector<float>& in, int w, int h) {
  ko::CGaussianKernel k;
  EXPECT_EQ(k.Build(2.0f, 0, 3.0f), ko::S_OK);
  auto at = [&](int x, int y) { return in[static_cast<size_t>(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)]; };
  std::vector<float> out(in.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      float acc = 0.0f;
      for (int j = 0; j < 13; ++j) {
        float row = 0.0f;
        for (int i = 0; i < 13; ++i) row += k.taps[12 - i] * at(x - 6 + i, y - 6 + j);
        acc += k.taps[12 - j] * row;
      }
      out[static_cast<size_t>(y) * w + x] = acc;
    }
  }
  return out;
}

std::vector<float> ReferenceNormalized(const ko::CTypedImg<float>& energy) {
  const int w = energy.width, h = energy.height;
  const std::vector<float> b = test::PlaneValues(energy);
  std::vector<float> squares(b.size());
  for (size_t i = 0; i < b.size(); ++i) squares[i] = b[i] * b[i];
  const std::vector<float> m1 = ReferenceSmooth(b, w, h), m2 = ReferenceSmooth(squares, w, h);
  std::vector<float> out(b.size());
  for (size_t i = 0; i < b.size(); ++i) out[i] = rule::NormalizedEnergy<lanes::Scalar>(b[i], m1[i], m2[i]);
  return out;
}

void ExpectMatchesReference(const ko::CTypedImg<float>& energy) {
  CEdgeState state;
  ASSERT_EQ(NormalizeLocalContrast(test::FastSchedule(), state, energy), ko::S_OK);
  ASSERT_EQ(state.normalized.width, energy.width);
  ASSERT_EQ(state.normalized.height, energy.height);
  const std::vector<float> expected = ReferenceNormalized(energy), got = test::PlaneValues(state.normalized);
  for (size_t i = 0; i < expected.size(); ++i)
    ASSERT_TRUE(SameFloat(got[i], expected[i])) << energy.width << "x" << energy.height << " pixel " << i << ": "
                                                 << got[i] << " vs " << expected[i];
}

TEST(ContrastNormalizationTest, MatchesTheDefinitionBitForBit) {
  std::mt19937 rng(17);
  ExpectMatchesReference(test::RandomPlane(31, 23, rng, 0.0f, 300.0f));
  ExpectMatchesReference(test::SceneImage(40, 17, 2));
}

TEST(ContrastNormalizationTest, ImagesSmallerThanTheKernelStillUseTheReplicatedBorder) {
  std::mt19937 rng(18);
  for (auto [w, h] : {std::pair{5, 4}, std::pair{1, 1}, std::pair{6, 30}, std::pair{30, 3}})
    ExpectMatchesReference(test::RandomPlane(w, h, rng, 0.0f, 300.0f));
}

TEST(ContrastNormalizationTest, ConstantEnergyNormalisesToZero) {
  CEdgeState state;
  ASSERT_EQ(NormalizeLocalContrast(test::FastSchedule(), state, MakePlane(20, 20, [](int32_t, int32_t) { return 37.0f; })), ko::S_OK);
  for (float v : test::PlaneValues(state.normalized)) EXPECT_NEAR(v, 0.0f, 1e-3f);
}

TEST(ContrastNormalizationTest, LowVarianceScalesByFifteenAndBelowMeanIsZero) {
  // Deviations of +-1 around 50 keep the local variance far below 100.
  const ko::CTypedImg<float> energy =
      MakePlane(24, 24, [](int32_t x, int32_t y) { return 50.0f + ((x + y) % 2 ? 1.0f : -1.0f); });
  CEdgeState state;
  ASSERT_EQ(NormalizeLocalContrast(test::FastSchedule(), state, energy), ko::S_OK);
  for (int32_t y = 6; y < 18; ++y) {
    for (int32_t x = 6; x < 18; ++x) {
      if ((x + y) % 2) EXPECT_NEAR(state.normalized.At(x, y), 15.0f, 0.01f);
      else EXPECT_EQ(state.normalized.At(x, y), 0.0f);
    }
  }
}

TEST(ContrastNormalizationTest, NaNPropagates) {
  ko::CTypedImg<float> energy = MakePlane(20, 20, [](int32_t x, int32_t) { return static_cast<float>(x); });
  energy.At(10, 10) = NAN;
  CEdgeState state;
  ASSERT_EQ(NormalizeLocalContrast(test::FastSchedule(), state, energy), ko::S_OK);
  EXPECT_TRUE(std::isnan(state.normalized.At(10, 10)));
  EXPECT_TRUE(std::isnan(state.normalized.At(13, 8)));   // within the kernel's reach
  EXPECT_FALSE(std::isnan(state.normalized.At(2, 2)));   // beyond it
}

TEST(ContrastNormalizationTest, ReusesTheNormalizedPlaneAndReplacesAWrongSize) {
  std::mt19937 rng(19);
  const ko::CTypedImg<float> energy = test::RandomPlane(16, 12, rng, 0.0f, 100.0f);
  CEdgeState state;
  ASSERT_EQ(NormalizeLocalContrast(test::FastSchedule(), state, energy), ko::S_OK);
  const uint8_t* first = state.normalized.pixels;
  ASSERT_EQ(NormalizeLocalContrast(test::FastSchedule(), state, energy), ko::S_OK);
  EXPECT_EQ(state.normalized.pixels, first);
  const ko::CTypedImg<float> larger = test::RandomPlane(30, 20, rng, 0.0f, 100.0f);
  ASSERT_EQ(NormalizeLocalContrast(test::FastSchedule(), state, larger), ko::S_OK);
  EXPECT_EQ(state.normalized.width, 30);
  EXPECT_EQ(state.normalized.height, 20);
}

TEST(ContrastNormalizationTest, AllocationFailureIsReported) {
  std::mt19937 rng(20);
  const ko::CTypedImg<float> energy = test::RandomPlane(16, 16, rng, 0.0f, 100.0f);
  for (EForm form : {EForm::kReference, EForm::kFast}) {
    const CSchedule schedule(form, 2);
    bool succeeded = false;
    for (int64_t n = 0; n < 40; ++n) {
      CEdgeState state;
      ko::HRESULT hr;
      {
        ko::ScopedAllocFailure fail(n);
        hr = NormalizeLocalContrast(schedule, state, energy);
      }
      succeeded = succeeded || hr == ko::S_OK;
      if (hr != ko::S_OK) {
        ASSERT_EQ(hr, ko::E_OUTOFMEMORY) << n;
      }
    }
    EXPECT_TRUE(succeeded);
  }
}

}  // namespace
}  // namespace brevant
