// The fast contrast normalisation against the reference form, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "app/contrast/contrast.h"
#include "app/pipeline_test_util.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/filter/separable_filter.h"

namespace brevant {
namespace {

int64_t Differences(const ko::CTypedImg<float>& a, const ko::CTypedImg<float>& b) {
  int64_t n = 0;
  for (int32_t y = 0; y < a.height; ++y)
    for (int32_t x = 0; x < a.width; ++x) n += !test::SameFloat(a.At(x, y), b.At(x, y));
  return n;
}

void ExpectSame(const CSchedule& schedule, const ko::CTypedImg<float>& energy, const std::string& what) {
  CEdgeState plain, fast;
  ASSERT_EQ(NormalizeLocalContrastReference(plain, energy), ko::S_OK) << what;
  ASSERT_EQ(NormalizeLocalContrastFast(schedule, fast, energy), ko::S_OK) << what;
  EXPECT_EQ(Differences(plain.normalized, fast.normalized), 0) << what;
}

TEST(ContrastFastTest, SizesFromOnePixelUpMatch) {
  std::mt19937 rng(21);
  for (auto [w, h] : {std::pair{1, 1}, std::pair{2, 9}, std::pair{6, 6}, std::pair{7, 3}, std::pair{12, 13},
                      std::pair{13, 12}, std::pair{45, 70}, std::pair{203, 37}, std::pair{19, 300}}) {
    const ko::CTypedImg<float> energy = test::RandomPlane(w, h, rng, 0.0f, 400.0f);
    for (int32_t threads : {1, 3})
      ExpectSame(CSchedule(EForm::kFast, threads), energy,
                 std::to_string(w) + "x" + std::to_string(h) + " threads " + std::to_string(threads));
  }
}

TEST(ContrastFastTest, EveryVectorFormAndTheScalarOneMatch) {
  std::mt19937 rng(22);
  ko::CTypedImg<float> energy = test::RandomPlane(77, 41, rng, 0.0f, 60.0f);
  // Flat and nearly flat parts, where the deviation floor applies.
  for (int32_t y = 0; y < 20; ++y)
    for (int32_t x = 0; x < 30; ++x) energy.At(x, y) = 5.0f + 0.001f * x;
  for (const test::SLaneForm& f : test::LaneForms()) ExpectSame(CSchedule(EForm::kFast, 2, f.features), energy, f.name);
}

TEST(ContrastFastTest, NonFiniteAndExtremeValuesMatch) {
  std::mt19937 rng(23);
  ko::CTypedImg<float> energy = test::RandomPlane(50, 40, rng, -100.0f, 100.0f);
  energy.At(10, 10) = std::numeric_limits<float>::quiet_NaN();
  energy.At(30, 20) = std::numeric_limits<float>::infinity();
  energy.At(40, 30) = -std::numeric_limits<float>::infinity();
  energy.At(5, 35) = 3e38f;
  energy.At(6, 35) = 1e-42f;
  energy.At(7, 35) = -0.0f;
  for (const test::SLaneForm& f : test::LaneForms())
    ExpectSame(CSchedule(EForm::kFast, 2, f.features), energy, std::string("hostile ") + f.name);
}

// The smoothing alone equals the separable filter's, border replicated.
TEST(ContrastFastTest, SmoothingEqualsTheSeparableFilter) {
  std::mt19937 rng(24);
  const ko::CTypedImg<float> energy = test::RandomPlane(67, 150, rng, 0.0f, 200.0f);
  ko::CTypedImg<float> squares = test::MakePlane(67, 150, [&](int32_t x, int32_t y) {
    return energy.At(x, y) * energy.At(x, y);
  });
  ko::CGaussianKernel kernel;
  ASSERT_EQ(kernel.Build(2.0f, 0, 3.0f), ko::S_OK);
  const auto zero = [](int32_t, int32_t) { return 0.0f; };
  ko::CTypedImg<float> mean = test::MakePlane(67, 150, zero), meanSquares = test::MakePlane(67, 150, zero);
  ko::CTypedImg<float> expected = test::MakePlane(67, 150, zero), expectedSquares = test::MakePlane(67, 150, zero);
  ASSERT_EQ(ko::FilterImage(energy, expected, kernel, kernel, ko::BorderClamp), ko::S_OK);
  ASSERT_EQ(ko::FilterImage(squares, expectedSquares, kernel, kernel, ko::BorderClamp), ko::S_OK);
  ASSERT_EQ(SmoothForContrastFast(CSchedule(EForm::kFast, 2), energy, mean, meanSquares), ko::S_OK);
  EXPECT_EQ(Differences(mean, expected), 0);
  EXPECT_EQ(Differences(meanSquares, expectedSquares), 0);
}

}  // namespace
}  // namespace brevant
