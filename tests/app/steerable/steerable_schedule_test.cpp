// The fast steerable filters against the reference form, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "app/pipeline_test_util.h"
#include "app/steerable/steerable.h"

namespace brevant {
namespace {

struct SPlanes {
  ko::CTypedImg<float> energy, orientation;
  ko::HRESULT hr = ko::S_OK;
};

SPlanes Steer(const CSchedule& schedule, const ko::CTypedImg<float>& input, float sigma) {
  SPlanes out;
  out.energy = test::MakePlane(input.width, input.height, [](int32_t, int32_t) { return 7.0f; });
  out.orientation = test::MakePlane(input.width, input.height, [](int32_t, int32_t) { return 7.0f; });
  out.hr = ComputeSteerableEnergy(schedule, sigma, input, out.energy, out.orientation);
  return out;
}

int64_t Differences(const ko::CTypedImg<float>& a, const ko::CTypedImg<float>& b) {
  int64_t n = 0;
  for (int32_t y = 0; y < a.height; ++y)
    for (int32_t x = 0; x < a.width; ++x) n += !test::SameFloat(a.At(x, y), b.At(x, y));
  return n;
}

void ExpectSame(const CSchedule& schedule, const ko::CTypedImg<float>& input, float sigma, const std::string& what) {
  const SPlanes plain = Steer(CSchedule(EForm::kReference), input, sigma);
  const SPlanes fast = Steer(schedule, input, sigma);
  ASSERT_EQ(plain.hr, fast.hr) << what;
  EXPECT_EQ(Differences(plain.energy, fast.energy), 0) << what << " energy";
  EXPECT_EQ(Differences(plain.orientation, fast.orientation), 0) << what << " orientation";
}

TEST(SteerableFastTest, ScenesMatchForEverySigma) {
  const ko::CTypedImg<float> scene = test::SceneImage(157, 61, 3);
  for (float sigma : {0.3f, 0.5f, 0.9f, 1.0f, 1.7f, 2.0f, 2.5f, 3.3f, 4.0f}) {
    for (int32_t threads : {1, 3})
      ExpectSame(CSchedule(EForm::kFast, threads), scene, sigma,
                 "sigma " + std::to_string(sigma) + " threads " + std::to_string(threads));
  }
}

TEST(SteerableFastTest, EveryVectorFormAndTheScalarOneMatch) {
  std::mt19937 rng(4);
  const ko::CTypedImg<float> noise = test::RandomPlane(83, 47, rng, -1000.0f, 1000.0f);
  for (const test::SLaneForm& f : test::LaneForms()) {
    const CSchedule schedule(EForm::kFast, 2, f.features);
    for (float sigma : {1.2f, 2.0f, 4.0f})
      ExpectSame(schedule, noise, sigma, std::string(f.name) + " " + std::to_string(sigma));
  }
}

TEST(SteerableFastTest, OddTinyAndBorderlineSizesMatch) {
  std::mt19937 rng(5);
  // Sigma 2 has radius 4: 9 pixels is the smallest size with an interior.
  for (auto [w, h] : {std::pair{1, 1}, std::pair{8, 30}, std::pair{9, 9}, std::pair{10, 11}, std::pair{30, 9},
                      std::pair{131, 12}, std::pair{300, 13}}) {
    const ko::CTypedImg<float> input = test::RandomPlane(w, h, rng, 0.0f, 255.0f);
    ExpectSame(CSchedule(EForm::kFast, 2), input, 2.0f, std::to_string(w) + "x" + std::to_string(h));
  }
}

// Zero taps are left out only for finite samples: NaN, infinities and values whose sums
// overflow must come out as in the plain form.
TEST(SteerableFastTest, NonFiniteAndHugeValuesMatch) {
  std::mt19937 rng(6);
  ko::CTypedImg<float> input = test::RandomPlane(40, 36, rng, 0.0f, 255.0f);
  input.At(12, 10) = std::numeric_limits<float>::quiet_NaN();
  input.At(25, 20) = std::numeric_limits<float>::infinity();
  input.At(30, 5) = -std::numeric_limits<float>::infinity();
  for (int32_t x = 0; x < 40; ++x) input.At(x, 30) = 3e38f;
  input.At(5, 33) = 1e-40f;
  input.At(6, 33) = -0.0f;
  for (const test::SLaneForm& f : test::LaneForms()) {
    const CSchedule schedule(EForm::kFast, 2, f.features);
    for (float sigma : {1.0f, 2.0f, 3.0f}) ExpectSame(schedule, input, sigma, std::to_string(sigma) + " " + f.name);
  }
}

TEST(SteerableFastTest, RefusesWhatTheReferenceFormRefuses) {
  const CSchedule fast;
  const ko::CTypedImg<float> input = test::SceneImage(20, 20, 7);
  for (float sigma : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), 1e9f})
    EXPECT_EQ(Steer(fast, input, sigma).hr, ko::E_INVALIDARG) << sigma;
  ko::CTypedImg<float> small = test::SceneImage(10, 20, 8), out = test::SceneImage(20, 20, 8);
  EXPECT_EQ(ComputeSteerableEnergyFast(fast, 2.0f, small, out, out), ko::E_INVALIDARG);
}

// The fast form's scratch grows with the radius only where the image has an interior: a
// huge sigma on a small image needs no more than its taps.
TEST(SteerableFastTest, ReportsTheMemoryOfItsStrips) {
  EXPECT_LT(SteerableFastBytes(2, 64, 48, 1e6f), uint64_t{200} << 20);
  EXPECT_GT(SteerableFastBytes(2, 5000, 48, 10.0f), SteerableFastBytes(1, 5000, 48, 10.0f));
  EXPECT_EQ(SteerableFastBytes(2, 64, 48, 0.0f), 0u);
}

}  // namespace
}  // namespace brevant
