#include "app/steerable/steerable.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/float_math.h"
#include "app/lanes/lanes.h"
#include "app/pipeline_test_util.h"
#include "app/steerable/steerable_kernels.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

namespace rule {
#include "app/steerable/steerable_rule.h"
}  // namespace rule

using test::MakePlane;
using test::SameFloat;

struct SPlanes {
  ko::CTypedImg<float> energy, orientation;
};

SPlanes Compute(const ko::CTypedImg<float>& input, float sigma) {
  SPlanes out;
  EXPECT_EQ(out.energy.Create(input.width, input.height, 1, 0), ko::S_OK);
  EXPECT_EQ(out.orientation.Create(input.width, input.height, 1, 0), ko::S_OK);
  out.energy.Clear();
  out.orientation.Clear();
  const CSchedule schedule;
  EXPECT_EQ(ComputeSteerableEnergy(schedule, sigma, input, out.energy, out.orientation), ko::S_OK);
  return out;
}

TEST(SteerableKernelsTest, SigmaFourIsThePublishedBasis) {
  SSteerableKernels k;
  ASSERT_EQ(BuildSteerableKernels(4.0f, &k), ko::S_OK);
  EXPECT_EQ(k.radius, 8);
  EXPECT_EQ(k.g.count, 17);
  EXPECT_EQ(k.step, 0.67f);
  EXPECT_NEAR(k.norm, 2.645453, 1e-6);
  EXPECT_NEAR(k.a.taps[8], -0.348258, 1e-6);
  EXPECT_NEAR(k.g.taps[8], 0.378007, 1e-6);
  // Even kernels symmetric, odd ones antisymmetric.
  for (int t = 0; t < 17; ++t) {
    EXPECT_EQ(k.a.taps[t], k.a.taps[16 - t]);
    EXPECT_EQ(k.g.taps[t], k.g.taps[16 - t]);
    EXPECT_EQ(k.f.taps[t], k.f.taps[16 - t]);
    EXPECT_EQ(k.b.taps[t], -k.b.taps[16 - t]);
    EXPECT_EQ(k.c.taps[t], -k.c.taps[16 - t]);
    EXPECT_EQ(k.d.taps[t], -k.d.taps[16 - t]);
  }
  // Tap +1 is at x = +0.67, where d = x e^{-x^2} is positive.
  EXPECT_GT(k.d.taps[9], 0.0f);
}

TEST(SteerableKernelsTest, SmallSigmas) {
  SSteerableKernels k;
  ASSERT_EQ(BuildSteerableKernels(1.0f, &k), ko::S_OK);
  EXPECT_EQ(k.radius, 2);
  EXPECT_EQ(k.step, 2.68f);
  EXPECT_NEAR(k.norm, 1.001520, 1e-6);
  EXPECT_NEAR(k.g.taps[2], 0.998483, 1e-6);

  ASSERT_EQ(BuildSteerableKernels(0.4f, &k), ko::S_OK);
  EXPECT_EQ(k.radius, 0);
  ASSERT_EQ(k.a.count, 1);
  EXPECT_EQ(k.a.taps[0], -0.9213f);
  EXPECT_EQ(k.g.taps[0], 1.0f);
  EXPECT_EQ(k.b.taps[0], 0.0f);
  EXPECT_EQ(k.c.taps[0], 0.0f);
  EXPECT_EQ(k.d.taps[0], 0.0f);
}

// The same responses straight from the definition, pixel by pixel: for each output pixel the
// horizontal sums of every row the vertical kernel reaches, taps outside dropped, products in
// double and partial sums in float, then the rule's energy and orientation.
void ReferenceSteerable(const ko::CTypedImg<float>& in, float sigma, std::vector<float>* energy,
                        std::vector<float>* orientation) {
  SSteerableKernels k;
  ASSERT_EQ(BuildSteerableKernels(sigma, &k), ko::S_OK);
  const int r = k.radius, w = in.width, h = in.height;
  const float* hk[7] = {k.a.taps, k.b.taps, k.g.taps, k.c.taps, k.f.taps, k.d.taps, k.g.taps};
  const float* vk[7] = {k.g.taps, k.b.taps, k.a.taps, k.g.taps, k.d.taps, k.f.taps, k.c.taps};
  energy->assign(static_cast<size_t>(w) * h, 0.0f);
  orientation->assign(static_cast<size_t>(w) * h, 0.0f);
  for (int y = r; y < h - r; ++y) {
    for (int x = r; x < w - r; ++x) {
      double resp[7];
      for (int f = 0; f < 7; ++f) {
        float sum = 0.0f;
        for (int v = std::max(0, y - r); v <= std::min(h - 1, y + r); ++v) {
          float row = 0.0f;
          for (int u = std::max(0, x - r); u <= std::min(w - 1, x + r); ++u)
            row = static_cast<float>(row + static_cast<double>(hk[f][u - x + r]) * in.At(u, v));
          sum = static_cast<float>(sum + static_cast<double>(vk[f][v - y + r]) * row);
        }
        resp[f] = sum;
      }
      (*energy)[static_cast<size_t>(y) * w + x] =
          rule::OrientedEnergy<lanes::Scalar>(resp[0], resp[1], resp[2], resp[3], resp[4], resp[5], resp[6]);
      (*orientation)[static_cast<size_t>(y) * w + x] =
          rule::Orientation(static_cast<float>(resp[3]), static_cast<float>(resp[6]));
    }
  }
}

TEST(SteerableEnergyTest, MatchesTheDefinitionBitForBit) {
  for (float sigma : {1.0f, 2.0f, 2.5f}) {
    const ko::CTypedImg<float> input = test::SceneImage(37, 29, 3);
    const SPlanes out = Compute(input, sigma);
    std::vector<float> energy, orientation;
    ReferenceSteerable(input, sigma, &energy, &orientation);
    const std::vector<float> gotE = test::PlaneValues(out.energy), gotO = test::PlaneValues(out.orientation);
    for (size_t i = 0; i < energy.size(); ++i) {
      ASSERT_TRUE(SameFloat(gotE[i], energy[i])) << "sigma " << sigma << " pixel " << i;
      ASSERT_TRUE(SameFloat(gotO[i], orientation[i])) << "sigma " << sigma << " pixel " << i;
    }
  }
}

TEST(SteerableEnergyTest, BordersOfRadiusAreZeroAndValuesInRange) {
  const ko::CTypedImg<float> input = test::SceneImage(40, 30, 9);
  const float sigma = 2.0f;  // r = 4
  const SPlanes out = Compute(input, sigma);
  for (int32_t y = 0; y < 30; ++y) {
    for (int32_t x = 0; x < 40; ++x) {
      const bool border = x < 4 || y < 4 || x >= 36 || y >= 26;
      if (border) {
        EXPECT_EQ(out.energy.At(x, y), 0.0f) << x << "," << y;
        EXPECT_EQ(out.orientation.At(x, y), 0.0f) << x << "," << y;
      } else {
        EXPECT_GE(out.energy.At(x, y), 0.0f);
        EXPECT_GE(out.orientation.At(x, y), 0.0f);
        EXPECT_LE(out.orientation.At(x, y), static_cast<float>(2 * kPi));
      }
    }
  }
}

TEST(SteerableEnergyTest, TinyImagesGiveZeroPlanes) {
  // With width or height at most 2r no pixel has a full neighbourhood; stale values go too.
  for (auto [w, h] : {std::pair{8, 20}, std::pair{20, 8}, std::pair{1, 1}, std::pair{3, 2}}) {
    const ko::CTypedImg<float> input = test::SceneImage(w, h, 4);
    SPlanes out;
    ASSERT_EQ(out.energy.Create(w, h, 1, 0), ko::S_OK);
    ASSERT_EQ(out.orientation.Create(w, h, 1, 0), ko::S_OK);
    float junk = 5.0f;
    out.energy.Fill(&junk, nullptr, -1, true);
    out.orientation.Fill(&junk, nullptr, -1, true);
    const CSchedule schedule;
    ASSERT_EQ(ComputeSteerableEnergy(schedule, 2.0f, input, out.energy, out.orientation), ko::S_OK);
    for (float v : test::PlaneValues(out.energy)) EXPECT_EQ(v, 0.0f);
    for (float v : test::PlaneValues(out.orientation)) EXPECT_EQ(v, 0.0f);
  }
}

TEST(SteerableEnergyTest, OneTapKernelsGiveNoEnergy) {
  const SPlanes out = Compute(test::SceneImage(12, 12, 5), 0.3f);
  for (float v : test::PlaneValues(out.energy)) EXPECT_EQ(v, 0.0f);
}

TEST(SteerableEnergyTest, ConstantImageHasAlmostNoEnergy) {
  const SPlanes out = Compute(MakePlane(30, 30, [](int32_t, int32_t) { return 1.0f; }), 2.0f);
  for (int32_t y = 4; y < 26; ++y)
    for (int32_t x = 4; x < 26; ++x) EXPECT_LT(out.energy.At(x, y), 0.05f);
}

TEST(SteerableEnergyTest, StepEdgeOrientationFollowsItsDirection) {
  // Brightening toward increasing x points one way, darkening the other; a mirrored
  // (convolved) kernel would swap them.
  for (bool brightens : {true, false}) {
    const ko::CTypedImg<float> input = MakePlane(40, 40, [&](int32_t x, int32_t) {
      return (x >= 20) == brightens ? 200.0f : 50.0f;
    });
    const SPlanes out = Compute(input, 2.0f);
    const float expected = static_cast<float>(brightens ? 1.5 * kPi : 0.5 * kPi);
    for (int32_t y = 10; y < 30; ++y) {
      EXPECT_NEAR(out.orientation.At(19, y), expected, 0.05) << brightens;
      EXPECT_NEAR(out.orientation.At(20, y), expected, 0.05) << brightens;
      EXPECT_GT(out.energy.At(20, y), 10.0f * out.energy.At(8, y));  // the edge stands out
    }
  }
}

TEST(SteerableEnergyTest, RefusesBadArgumentsAndReportsAllocationFailure) {
  const ko::CTypedImg<float> input = test::SceneImage(16, 16, 6);
  SPlanes out;
  ASSERT_EQ(out.energy.Create(16, 16, 1, 0), ko::S_OK);
  ASSERT_EQ(out.orientation.Create(16, 16, 1, 0), ko::S_OK);
  for (EForm form : {EForm::kReference, EForm::kFast}) {
    const CSchedule schedule(form, 2);
    EXPECT_EQ(ComputeSteerableEnergy(schedule, 0.0f, input, out.energy, out.orientation), ko::E_INVALIDARG);
    EXPECT_EQ(ComputeSteerableEnergy(schedule, NAN, input, out.energy, out.orientation), ko::E_INVALIDARG);
    ko::CTypedImg<float> small;
    ASSERT_EQ(small.Create(8, 16, 1, 0), ko::S_OK);
    EXPECT_EQ(ComputeSteerableEnergy(schedule, 2.0f, input, small, out.orientation), ko::E_INVALIDARG);
    bool succeeded = false;
    for (int64_t n = 0; n < 40; ++n) {
      ko::HRESULT hr;
      {
        ko::ScopedAllocFailure fail(n);
        hr = ComputeSteerableEnergy(schedule, 2.0f, input, out.energy, out.orientation);
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
