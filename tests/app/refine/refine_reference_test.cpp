#include "app/refine/refine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "app/pipeline_test_util.h"
#include "app/refine/support_sampler.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

using test::MakePlane;

ko::CTypedImg<float> Constant(int32_t w, int32_t h, float v) {
  return MakePlane(w, h, [v](int32_t, int32_t) { return v; });
}

struct SSampler {
  ko::CTypedImg<float> p = MakePlane(8, 8, [](int32_t x, int32_t y) { return 10.0f * x + y; });
  ko::CTypedImg<float> q = MakePlane(8, 8, [](int32_t x, int32_t y) { return 0.5f * x + 100.0f * y; });
  ko::CTypedImg<float> r = MakePlane(8, 8, [](int32_t x, int32_t y) { return 1000.0f + x - y; });
};

TEST(SampleOrientedSupportTest, WholePixelWithMatchingOrientationIsThatPixel) {
  SSampler s;
  const ko::CTypedImg<float> o = Constant(8, 8, 1.0f);
  EXPECT_EQ(SampleOrientedSupport(3.0f, 4.0f, 1.0f, s.p, s.q, s.r, o), s.p.At(3, 4) + s.q.At(3, 4));
}

TEST(SampleOrientedSupportTest, HalfwayMixesTheTwoNeighboursEqually) {
  SSampler s;
  const ko::CTypedImg<float> o = Constant(8, 8, 0.0f);
  // The forward point of pixel (2, 3) at theta 0 is (3.5, 3): pixels 3 and 4 of row 3.
  const float expected = 0.5f * (s.p.At(3, 3) + s.q.At(3, 3)) + 0.5f * (s.p.At(4, 3) + s.q.At(4, 3));
  EXPECT_FLOAT_EQ(SampleOrientedSupport(3.5f, 3.0f, 0.0f, s.p, s.q, s.r, o), expected);
}

TEST(SampleOrientedSupportTest, OrientationMismatchWeakensAndOpposedReadsBackward) {
  SSampler s;
  const double delta = 0.4;
  ko::CTypedImg<float> o = Constant(8, 8, static_cast<float>(1.0 + delta));
  const float weight = static_cast<float>(std::exp(-delta * delta / (kPi / 5)));
  EXPECT_NEAR(SampleOrientedSupport(2.0f, 2.0f, 1.0f, s.p, s.q, s.r, o), weight * (s.p.At(2, 2) + s.q.At(2, 2)),
              1e-3);
  // More than a right angle apart: the backward support, weighed by pi - delta.
  const double opposed = kPi / 2 + 0.3;
  o = Constant(8, 8, static_cast<float>(0.2 + opposed));
  const float weightOpposed = static_cast<float>(std::exp(-(kPi - opposed) * (kPi - opposed) / (kPi / 5)));
  EXPECT_NEAR(SampleOrientedSupport(2.0f, 2.0f, 0.2f, s.p, s.q, s.r, o), weightOpposed * (s.p.At(2, 2) + s.r.At(2, 2)),
              1e-2);
  // Differences beyond pi wrap around: 0.1 and 2 pi - 0.1 are 0.2 apart, so forward.
  o = Constant(8, 8, static_cast<float>(2 * kPi - 0.1));
  const float weightWrapped = static_cast<float>(std::exp(-0.04 / (kPi / 5)));
  EXPECT_NEAR(SampleOrientedSupport(2.0f, 2.0f, 0.1f, s.p, s.q, s.r, o), weightWrapped * (s.p.At(2, 2) + s.q.At(2, 2)),
              1e-2);
}

TEST(SampleOrientedSupportTest, NeverNegativeAndNoReadOutsideForABrokenPosition) {
  SSampler s;
  const ko::CTypedImg<float> o = Constant(8, 8, 0.0f);
  const ko::CTypedImg<float> negative = Constant(8, 8, -5.0f);
  EXPECT_EQ(SampleOrientedSupport(2.5f, 2.5f, 0.0f, negative, negative, negative, o), 0.0f);
  EXPECT_TRUE(std::isnan(SampleOrientedSupport(NAN, 2.0f, 0.0f, s.p, s.q, s.r, o)));
  EXPECT_TRUE(std::isnan(SampleOrientedSupport(2.0f, 7.0f, 0.0f, s.p, s.q, s.r, o)));
  EXPECT_TRUE(std::isnan(SampleOrientedSupport(-0.5f, 2.0f, 0.0f, s.p, s.q, s.r, o)));
}

struct SRefined {
  CEdgeState state;
  std::string output;
  ko::HRESULT hr = ko::E_FAIL;
};

void Refine(SRefined& run, const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation,
            int32_t iterations, bool histograms = false) {
  run.state.iterations = iterations;
  run.state.computeHistograms = histograms;
  ASSERT_EQ(ko::CTypedImg<float>(energy).CopyTo(&run.state.energy), ko::S_OK);
  ASSERT_EQ(ko::CTypedImg<float>(orientation).CopyTo(&run.state.orientation), ko::S_OK);
  test::CTextLog log;
  const CRunControl control(&log);
  run.hr = RefineEdgeEnergy(test::FastSchedule(), control, run.state, run.state.energy, run.state.orientation);
  run.output = log.Text();
}

TEST(RefineEdgeEnergyTest, NoPassLeavesTheEnergyAndPrintsNoDot) {
  std::mt19937 rng(30);
  const ko::CTypedImg<float> energy = test::RandomPlane(20, 16, rng, 0.0f, 50.0f);
  const ko::CTypedImg<float> orientation = test::RandomPlane(20, 16, rng, 0.0f, 6.28f);
  for (int32_t iterations : {0, -3}) {
    SRefined run;
    Refine(run, energy, orientation, iterations);
    ASSERT_EQ(run.hr, ko::S_OK);
    EXPECT_EQ(run.output, "Number of iterations = " + std::to_string(iterations) + "\n");
    EXPECT_EQ(test::PlaneValues(run.state.energy), test::PlaneValues(energy));
  }
}

TEST(RefineEdgeEnergyTest, PrintsOneDotPerPassAndKeepsTheMargin) {
  std::mt19937 rng(31);
  const ko::CTypedImg<float> energy = test::RandomPlane(24, 20, rng, 0.0f, 50.0f);
  const ko::CTypedImg<float> orientation = test::RandomPlane(24, 20, rng, 0.0f, 6.28f);
  SRefined run;
  Refine(run, energy, orientation, 3);
  ASSERT_EQ(run.hr, ko::S_OK);
  EXPECT_EQ(run.output, "Number of iterations = 3\n...");
  for (int32_t y = 0; y < 20; ++y) {
    for (int32_t x = 0; x < 24; ++x) {
      const bool margin = x < 5 || y < 5 || x >= 19 || y >= 15;
      if (margin) EXPECT_EQ(run.state.energy.At(x, y), energy.At(x, y)) << x << "," << y;
      else EXPECT_GE(run.state.energy.At(x, y), energy.At(x, y)) << x << "," << y;
    }
  }
}

TEST(RefineEdgeEnergyTest, SmallImagesReceiveNothing) {
  std::mt19937 rng(32);
  for (auto [w, h] : {std::pair{4, 30}, std::pair{10, 10}, std::pair{30, 3}}) {
    const ko::CTypedImg<float> energy = test::RandomPlane(w, h, rng, 0.0f, 50.0f);
    SRefined run;
    Refine(run, energy, test::RandomPlane(w, h, rng, 0.0f, 6.28f), 2);
    ASSERT_EQ(run.hr, ko::S_OK);
    EXPECT_EQ(test::PlaneValues(run.state.energy), test::PlaneValues(energy));
  }
}

TEST(RefineEdgeEnergyTest, SupportRunsAlongAVerticalEdge) {
  // A vertical line of energy 10 with the orientation of a vertical edge (3 pi / 2 folds to
  // pi / 2): each line pixel's forward point is 1.5 pixels below it, its backward point
  // 1.5 above, so one pass adds (10 + 10) twice; pixels beside the line get nothing.
  const ko::CTypedImg<float> energy = MakePlane(21, 21, [](int32_t x, int32_t) { return x == 10 ? 10.0f : 0.0f; });
  const ko::CTypedImg<float> orientation = Constant(21, 21, static_cast<float>(1.5 * kPi));
  SRefined run;
  Refine(run, energy, orientation, 1);
  ASSERT_EQ(run.hr, ko::S_OK);
  for (int32_t y = 5; y < 16; ++y) {
    EXPECT_NEAR(run.state.energy.At(10, y), 50.0f, 1e-4f) << y;
    EXPECT_EQ(run.state.energy.At(9, y), 0.0f) << y;
    EXPECT_EQ(run.state.energy.At(11, y), 0.0f) << y;
  }
}

TEST(RefineEdgeEnergyTest, RefusesMismatchedPlanesAndReportsAllocationFailure) {
  std::mt19937 rng(33);
  CEdgeState state;
  const ko::CTypedImg<float> energy = test::RandomPlane(16, 16, rng, 0.0f, 5.0f);
  const ko::CTypedImg<float> wrong = test::RandomPlane(15, 16, rng, 0.0f, 5.0f);
  const CRunControl silent;
  EXPECT_EQ(RefineEdgeEnergy(test::FastSchedule(), silent, state, energy, wrong), ko::E_INVALIDARG);
  EXPECT_EQ(RefineEdgeEnergy(test::FastSchedule(), silent, state, energy, ko::CTypedImg<float>()), ko::E_INVALIDARG);
  const ko::CTypedImg<float> orientation = test::RandomPlane(16, 16, rng, 0.0f, 6.0f);
  state.iterations = 1;
  for (EForm form : {EForm::kReference, EForm::kFast}) {
    const CSchedule schedule(form, 2);
    for (bool histograms : {false, true}) {
      state.computeHistograms = histograms;
      bool succeeded = false;
      for (int64_t n = 0; n < (histograms ? 520 : 20); ++n) {
        ko::CTypedImg<float> copy;
        ASSERT_EQ(ko::CTypedImg<float>(energy).CopyTo(&copy), ko::S_OK);
        ko::HRESULT hr;
        {
          ko::ScopedAllocFailure fail(n);
          hr = RefineEdgeEnergy(schedule, silent, state, copy, orientation);
        }
        succeeded = succeeded || hr == ko::S_OK;
        if (hr != ko::S_OK) {
          ASSERT_EQ(hr, ko::E_OUTOFMEMORY) << n;
          ASSERT_EQ(test::PlaneValues(copy), test::PlaneValues(energy)) << "changed by a failed run, " << n;
        }
      }
      EXPECT_TRUE(succeeded);
    }
  }
}

// A raised flag stops the passes: the fast form between two steps of its wavefront, the
// reference form between two passes.
TEST(RefineEdgeEnergyTest, ACancelledRunStopsBetweenPasses) {
  const ko::CTypedImg<float> energy = test::SceneImage(40, 300, 3);
  const ko::CTypedImg<float> orientation = Constant(40, 300, 1.0f);
  for (EForm form : {EForm::kReference, EForm::kFast}) {
    const CSchedule schedule(form, 2);
    std::atomic<bool> cancel{true};
    test::CTextLog log;
    const CRunControl control(&log, &cancel);
    CEdgeState state;
    state.iterations = 5;
    state.computeHistograms = true;
    ko::CTypedImg<float> copy;
    ASSERT_EQ(ko::CTypedImg<float>(energy).CopyTo(&copy), ko::S_OK);
    EXPECT_EQ(RefineEdgeEnergy(schedule, control, state, copy, orientation), ko::E_ABORT);
    EXPECT_EQ(log.Text().find('.'), std::string::npos) << "no pass ran";
  }
}

}  // namespace
}  // namespace brevant
