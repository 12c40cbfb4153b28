// The fast refinement against the reference form, bit for bit: energy, histograms and
// messages, over sizes, pass counts, thread counts and lane widths.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>

#include "app/contrast/contrast.h"
#include "app/pipeline_test_util.h"
#include "app/refine/refine.h"
#include "app/steerable/steerable.h"

namespace brevant {
namespace {

struct SRefined {
  ko::CTypedImg<float> energy;
  CBinPlanes histograms;
  std::string output;
  ko::HRESULT hr = ko::S_OK;
};

ko::CTypedImg<float> Copy(const ko::CTypedImg<float>& plane) {
  ko::CTypedImg<float> view = plane, copy;
  EXPECT_EQ(view.CopyTo(&copy), ko::S_OK);
  return copy;
}

// Where the fast form takes the energy its passes add: a copy of its own, a source plane
// given beside the energy, or the energy plane itself given as the source.
enum class ESource { kOwn, kGiven, kItself };

// One refinement of copies of the inputs; `prefill` puts values in the histogram planes first,
// which the refinement must add to.
SRefined Refine(const CSchedule& schedule, const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation, int32_t passes,
                bool histograms, bool prefill = false, ESource source = ESource::kOwn) {
  CEdgeState state;
  state.iterations = passes;
  state.computeHistograms = histograms;
  state.energy = Copy(energy);
  state.orientation = Copy(orientation);
  if (prefill) {
    for (int k = 0; k < kHistogramBins; ++k)
      state.histograms[k] = test::MakePlane(energy.width, energy.height,
                                            [k](int32_t x, int32_t y) { return 0.25f * static_cast<float>(k + x - y); });
  }
  SRefined out;
  test::CTextLog log;
  const CRunControl control(&log);
  const ko::CTypedImg<float> given = source == ESource::kGiven ? Copy(energy) : state.energy;
  out.hr = source == ESource::kOwn ? RefineEdgeEnergy(schedule, control, state, state.energy, state.orientation)
                                   : RefineEdgeEnergyFast(schedule, control, state, state.energy, state.orientation,
                                                          false, RowsDoneFn(), 0, &given);
  out.output = log.Text();
  out.energy = state.energy;
  out.histograms = state.histograms;
  return out;
}

// Number of pixels whose bits differ (NaN counts as equal to NaN).
int64_t Differences(const ko::CTypedImg<float>& a, const ko::CTypedImg<float>& b) {
  if (a.HasMemory() != b.HasMemory()) return -1;
  if (!a.HasMemory()) return 0;
  if (a.width != b.width || a.height != b.height) return -1;
  int64_t n = 0;
  for (int32_t y = 0; y < a.height; ++y)
    for (int32_t x = 0; x < a.width; ++x) n += !test::SameFloat(a.At(x, y), b.At(x, y));
  return n;
}

void ExpectSame(const SRefined& plain, const SRefined& fast, const std::string& what) {
  EXPECT_EQ(plain.hr, fast.hr) << what;
  EXPECT_EQ(plain.output, fast.output) << what;
  EXPECT_EQ(Differences(plain.energy, fast.energy), 0) << what << " energy";
  for (int k = 0; k < kHistogramBins; ++k)
    ASSERT_EQ(Differences(plain.histograms[k], fast.histograms[k]), 0) << what << " bin " << k;
}

// Normalised energy and orientation of a scene, as the pipeline hands them over.
void ScenePlanes(int32_t w, int32_t h, uint32_t seed, float sigma, ko::CTypedImg<float>* energy,
                 ko::CTypedImg<float>* orientation) {
  CEdgeState s;
  energy->Create(w, h, 1, 0);
  orientation->Create(w, h, 1, 0);
  ASSERT_EQ(ComputeSteerableEnergyReference(sigma, test::SceneImage(w, h, seed), *energy, *orientation), ko::S_OK);
  ASSERT_EQ(NormalizeLocalContrastReference(s, *energy), ko::S_OK);
  *energy = s.normalized;
}

const CSchedule& Reference() {
  static const CSchedule schedule(EForm::kReference);
  return schedule;
}

TEST(RefineFastTest, SceneMatchesTheReferenceFormForEveryPassCount) {
  ko::CTypedImg<float> energy, orientation;
  ScenePlanes(45, 38, 11, 2.0f, &energy, &orientation);
  for (int32_t passes : {0, 1, 2, 3, 5, 10}) {
    for (bool histograms : {false, true}) {
      const SRefined plain = Refine(Reference(), energy, orientation, passes, histograms);
      for (int32_t threads : {1, 3}) {
        ExpectSame(plain, Refine(CSchedule(EForm::kFast, threads), energy, orientation, passes, histograms),
                   "passes " + std::to_string(passes) + " histograms " + std::to_string(histograms) + " threads " +
                       std::to_string(threads));
      }
    }
  }
}

TEST(RefineFastTest, EveryVectorFormAndTheScalarOneMatch) {
  ko::CTypedImg<float> energy, orientation;
  ScenePlanes(37, 29, 12, 1.3f, &energy, &orientation);
  for (bool histograms : {true, false}) {
    const SRefined plain = Refine(Reference(), energy, orientation, 4, histograms, true);
    for (const test::SLaneForm& f : test::LaneForms())
      ExpectSame(plain, Refine(CSchedule(EForm::kFast, 2, f.features), energy, orientation, 4, histograms, true),
                 std::string(f.name) + (histograms ? " histograms" : ""));
  }
}

TEST(RefineFastTest, OddAndTinySizesMatch) {
  std::mt19937 rng(5);
  for (auto [w, h] : {std::pair{1, 1}, std::pair{4, 9}, std::pair{5, 5}, std::pair{10, 30}, std::pair{11, 11},
                      std::pair{12, 7}, std::pair{13, 64}, std::pair{70, 13}}) {
    const ko::CTypedImg<float> energy = test::RandomPlane(w, h, rng, 0.0f, 300.0f);
    const ko::CTypedImg<float> orientation = test::RandomPlane(w, h, rng, 0.0f, 6.2831855f);
    for (int32_t passes : {0, 1, 3}) {
      const SRefined plain = Refine(Reference(), energy, orientation, passes, true);
      ExpectSame(plain, Refine(CSchedule(EForm::kFast, 2), energy, orientation, passes, true),
                 std::to_string(w) + "x" + std::to_string(h) + " passes " + std::to_string(passes));
    }
  }
}

// Tall images with many passes run in several sweeps that hand over through whole buffers.
TEST(RefineFastTest, ManyPassesInSweepsMatch) {
  std::mt19937 rng(6);
  const ko::CTypedImg<float> energy = test::RandomPlane(23, 90, rng, 0.0f, 100.0f);
  const ko::CTypedImg<float> orientation = test::RandomPlane(23, 90, rng, 0.0f, 6.2831855f);
  for (bool histograms : {false, true}) {
    const SRefined plain = Refine(Reference(), energy, orientation, 13, histograms);
    for (int32_t threads : {1, 2}) {
      ExpectSame(plain, Refine(CSchedule(EForm::kFast, threads), energy, orientation, 13, histograms),
                 "histograms " + std::to_string(histograms) + " threads " + std::to_string(threads));
    }
  }
}

// Wide images with histograms run in vertical strips, each through every pass with its
// columns widened by two a pass: every strip count, pass count and thread count must give
// the reference form's bits, the strips' seams included.
TEST(RefineFastTest, WideImagesInStripsMatch) {
  ko::CTypedImg<float> energy, orientation;
  ScenePlanes(531, 250, 14, 1.6f, &energy, &orientation);
  // 10 passes run in one sweep of 10 levels; 17 in sweeps of 10 and 7.
  for (int32_t passes : {1, 4, 10, 17}) {
    const SRefined plain = Refine(Reference(), energy, orientation, passes, true, passes == 4);
    for (int32_t threads : {1, 2, 3})
      ExpectSame(plain, Refine(CSchedule(EForm::kFast, threads), energy, orientation, passes, true, passes == 4),
                 "passes " + std::to_string(passes) + " threads " + std::to_string(threads));
    // The energy the passes add read from the caller's plane; given the energy plane itself,
    // which the passes overwrite, they still take a copy.
    for (ESource source : {ESource::kGiven, ESource::kItself})
      ExpectSame(plain, Refine(CSchedule(EForm::kFast, 2), energy, orientation, passes, true, passes == 4, source),
                 "passes " + std::to_string(passes) + " source " + std::to_string(static_cast<int>(source)));
  }
}

// Values the pipeline itself never produces: orientations far outside [0, 2 pi], NaN and
// infinite ones (error lines, NaN samples), NaN, negative and huge energies.
TEST(RefineFastTest, HostileValuesMatch) {
  std::mt19937 rng(7);
  ko::CTypedImg<float> energy = test::RandomPlane(31, 27, rng, -50.0f, 200.0f);
  ko::CTypedImg<float> orientation = test::RandomPlane(31, 27, rng, -20.0f, 30.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  orientation.At(7, 8) = nan;
  orientation.At(15, 3) = inf;
  orientation.At(20, 20) = -inf;
  orientation.At(2, 2) = 0.0f;
  orientation.At(3, 2) = 6.2831855f;
  energy.At(10, 10) = nan;
  energy.At(12, 14) = 3e38f;
  energy.At(25, 5) = -0.0f;
  energy.At(6, 6) = 1e-42f;
  for (int32_t passes : {0, 1, 4}) {
    const SRefined plain = Refine(Reference(), energy, orientation, passes, true, true);
    EXPECT_NE(plain.output.find("ERROR 7 8 "), std::string::npos);
    for (const test::SLaneForm& f : test::LaneForms())
      ExpectSame(plain, Refine(CSchedule(EForm::kFast, 2, f.features), energy, orientation, passes, true, true),
                 "passes " + std::to_string(passes) + " " + f.name);
  }
}

TEST(RefineFastTest, RefusesPlanesThatDoNotMatch) {
  CEdgeState state;
  ko::CTypedImg<float> a = test::MakePlane(10, 10, [](int32_t, int32_t) { return 1.0f; });
  ko::CTypedImg<float> b = test::MakePlane(10, 11, [](int32_t, int32_t) { return 1.0f; });
  const CRunControl silent;
  EXPECT_EQ(RefineEdgeEnergyFast(test::FastSchedule(), silent, state, a, b), ko::E_INVALIDARG);
  EXPECT_EQ(RefineEdgeEnergyFast(test::FastSchedule(), silent, state, a, ko::CTypedImg<float>()), ko::E_INVALIDARG);
  ko::CTypedImg<float> c = test::MakePlane(10, 10, [](int32_t, int32_t) { return 1.0f; });
  EXPECT_EQ(RefineEdgeEnergyFast(test::FastSchedule(), silent, state, a, c, false, RowsDoneFn(), 0, &b),
            ko::E_INVALIDARG);
}

// Wide images run as chains of strips, one a thread, that need not wait for each other:
// their rows must still be told in order, each once, and a flag raised while they are told
// must stop every chain (none left waiting for another).
TEST(RefineChainsTest, RowsComeInOrderAndACancelStopsEveryChain) {
  ko::CTypedImg<float> energy, orientation;
  ScenePlanes(600, 300, 5, 1.6f, &energy, &orientation);
  for (bool cancelAtFirstRows : {false, true}) {
    std::atomic<bool> cancel{false};
    const CRunControl control(nullptr, &cancel);
    CEdgeState state;
    state.iterations = 10;
    state.computeHistograms = true;
    ko::CTypedImg<float> refined = Copy(energy);
    int32_t told = 0;
    bool inOrder = true;
    const RowsDoneFn rowsDone = [&](int32_t y0, int32_t y1) {
      inOrder = inOrder && y0 == told && y1 > y0;
      told = y1;
      if (cancelAtFirstRows) cancel = true;
    };
    const ko::HRESULT hr = RefineEdgeEnergyStreamed(CSchedule(EForm::kFast, 2), control, state, refined, orientation,
                                                    false, rowsDone);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(hr, cancelAtFirstRows ? ko::E_ABORT : ko::S_OK);
    if (cancelAtFirstRows) EXPECT_LT(told, 300);
    else EXPECT_EQ(told, 300);
  }
}

}  // namespace
}  // namespace brevant
