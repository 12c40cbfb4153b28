#include <gtest/gtest.h>

#include <cmath>

#include "app/pipeline_test_util.h"
#include "app/refine/refine.h"
#include "app/refine/refine_rule.h"

namespace brevant {
namespace {

using test::MakePlane;

TEST(OrientationBinTest, SplitsBetweenTheBracketingBins) {
  int32_t bin = -1;
  float fraction = -1.0f;
  ASSERT_TRUE(OrientationBin(0.0f, &bin, &fraction));
  EXPECT_EQ(bin, 0);
  EXPECT_EQ(fraction, 0.0f);
  ASSERT_TRUE(OrientationBin(0.2618f, &bin, &fraction));  // 15 degrees
  EXPECT_EQ(bin, 1);
  EXPECT_NEAR(fraction, 0.5f, 1e-4f);
  // 2 pi is held just below the end: bin 35 keeps about 0.036, bin 0 gets the rest.
  ASSERT_TRUE(OrientationBin(static_cast<float>(2 * kPi), &bin, &fraction));
  EXPECT_EQ(bin, 35);
  EXPECT_NEAR(1.0f - fraction, 0.036f, 1e-4f);
  ASSERT_TRUE(OrientationBin(static_cast<float>(-kPi / 2), &bin, &fraction));  // wraps to 270 degrees
  EXPECT_EQ(bin, 27);
  EXPECT_NEAR(fraction, 0.0f, 1e-4f);
  EXPECT_FALSE(OrientationBin(NAN, &bin, &fraction));
}

// Runs the refinement with histograms; returns what it printed.
std::string RefineWithHistograms(CEdgeState& state, const ko::CTypedImg<float>& energy,
                                 const ko::CTypedImg<float>& orientation, int32_t iterations) {
  state.iterations = iterations;
  state.computeHistograms = true;
  EXPECT_EQ(ko::CTypedImg<float>(energy).CopyTo(&state.energy), ko::S_OK);
  EXPECT_EQ(ko::CTypedImg<float>(orientation).CopyTo(&state.orientation), ko::S_OK);
  test::CTextLog log;
  const CRunControl control(&log);
  EXPECT_EQ(RefineEdgeEnergy(test::FastSchedule(), control, state, state.energy, state.orientation), ko::S_OK);
  return log.Text();
}

TEST(OrientationHistogramsTest, WithoutPassesTheHistogramsAreTwiceTheVotes) {
  std::mt19937 rng(40);
  const int32_t w = 19, h = 14;
  const ko::CTypedImg<float> energy = test::RandomPlane(w, h, rng, 0.0f, 80.0f);
  const ko::CTypedImg<float> orientation = test::RandomPlane(w, h, rng, 0.0f, static_cast<float>(2 * kPi));
  CEdgeState state;
  EXPECT_EQ(RefineWithHistograms(state, energy, orientation, 0), "Number of iterations = 0\n");
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const bool margin = x < 5 || y < 5 || x >= w - 5 || y >= h - 5;
      // Independently: position in bins, linear split to the next bin.
      const double position = std::min(orientation.At(x, y) / (2 * kPi), 0.999) * 36.0;
      const int lower = static_cast<int>(position);
      const double share = position - lower;
      for (int k = 0; k < 36; ++k) {
        double expected = 0.0;
        if (!margin && k == lower) expected = 2.0 * energy.At(x, y) * (1.0 - share);
        if (!margin && k == (lower + 1) % 36) expected = 2.0 * energy.At(x, y) * share;
        EXPECT_NEAR(state.histograms[k].At(x, y), expected, 1e-4 * (1.0 + expected)) << x << "," << y << " bin " << k;
      }
    }
  }
}

TEST(OrientationHistogramsTest, BinsAreZeroInTheMarginAfterPasses) {
  std::mt19937 rng(41);
  const ko::CTypedImg<float> energy = test::RandomPlane(18, 18, rng, 0.0f, 80.0f);
  const ko::CTypedImg<float> orientation = test::RandomPlane(18, 18, rng, 0.0f, 6.28f);
  CEdgeState state;
  EXPECT_EQ(RefineWithHistograms(state, energy, orientation, 2), "Number of iterations = 2\n..");
  double inside = 0.0;
  for (int k = 0; k < 36; ++k) {
    for (int32_t y = 0; y < 18; ++y) {
      for (int32_t x = 0; x < 18; ++x) {
        const float v = state.histograms[k].At(x, y);
        EXPECT_GE(v, 0.0f);
        if (x < 5 || y < 5 || x >= 13 || y >= 13) EXPECT_EQ(v, 0.0f);
        else inside += v;
      }
    }
  }
  EXPECT_GT(inside, 0.0);
}

TEST(OrientationHistogramsTest, SupportFollowsTheEdgeInEachBin) {
  // A vertical line whose orientation (3 pi / 2) votes into bin 27 alone: after one pass each
  // line pixel's bin 27 holds the votes 1.5 pixels ahead and behind (10 + 10 each), and no
  // other bin holds anything.
  const ko::CTypedImg<float> energy = MakePlane(21, 21, [](int32_t x, int32_t) { return x == 10 ? 10.0f : 0.0f; });
  const ko::CTypedImg<float> orientation = MakePlane(21, 21, [](int32_t, int32_t) { return 4.712389f; });
  int32_t bin = 0;
  float fraction = 0.0f;
  ASSERT_TRUE(OrientationBin(4.712389f, &bin, &fraction));
  ASSERT_EQ(bin, 27);
  CEdgeState state;
  RefineWithHistograms(state, energy, orientation, 1);
  for (int32_t y = 5; y < 16; ++y) {
    EXPECT_NEAR(state.histograms[27].At(10, y), 40.0f * (1.0f - fraction), 1e-3f);
    EXPECT_NEAR(state.histograms[28].At(10, y), 40.0f * fraction, 1e-3f);
    EXPECT_EQ(state.histograms[27].At(9, y), 0.0f);
    EXPECT_EQ(state.histograms[0].At(10, y), 0.0f);
  }
}

TEST(OrientationHistogramsTest, NaNOrientationReportsAndCastsNoVote) {
  ko::CTypedImg<float> orientation = MakePlane(16, 16, [](int32_t, int32_t) { return 1.0f; });
  orientation.At(7, 8) = NAN;
  const ko::CTypedImg<float> energy = MakePlane(16, 16, [](int32_t, int32_t) { return 3.0f; });
  CEdgeState state;
  const std::string printed = RefineWithHistograms(state, energy, orientation, 0);
  EXPECT_EQ(printed, "ERROR 7 8 -2147483648\nNumber of iterations = 0\n");
  for (int k = 0; k < 36; ++k) EXPECT_EQ(state.histograms[k].At(7, 8), 0.0f) << k;
  float sum = 0.0f;
  for (int k = 0; k < 36; ++k) sum += state.histograms[k].At(8, 8);
  EXPECT_NEAR(sum, 6.0f, 1e-5f);  // its neighbour votes as usual
}

}  // namespace
}  // namespace brevant
