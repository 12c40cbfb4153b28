// The fast steerable filters against the plain ones, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "app/pipeline_options.h"
#include "app/pipeline_test_util.h"
#include "app/steerable_energy.h"
#include "ko/platform/cpu_features.h"

namespace brevant {
namespace {

struct SPlanes {
  ko::CTypedImg<float> energy, orientation;
  ko::HRESULT hr = ko::S_OK;
};

SPlanes Steer(ko::HRESULT (*steer)(float, ko::CTypedImg<float>, ko::CTypedImg<float>, ko::CTypedImg<float>),
            const ko::CTypedImg<float>& input, float sigma) {
  SPlanes out;
  out.energy = test::MakePlane(input.width, input.height, [](int32_t, int32_t) { return 7.0f; });
  out.orientation = test::MakePlane(input.width, input.height, [](int32_t, int32_t) { return 7.0f; });
  out.hr = steer(sigma, input, out.energy, out.orientation);
  return out;
}

int64_t Differences(const ko::CTypedImg<float>& a, const ko::CTypedImg<float>& b) {
  int64_t n = 0;
  for (int32_t y = 0; y < a.height; ++y)
    for (int32_t x = 0; x < a.width; ++x) n += !test::SameFloat(a.At(x, y), b.At(x, y));
  return n;
}

void ExpectSame(const ko::CTypedImg<float>& input, float sigma, const std::string& what) {
  const SPlanes plain = Steer(ComputeSteerableEnergyPlain, input, sigma);
  const SPlanes fast = Steer(ComputeSteerableEnergyFast, input, sigma);
  ASSERT_EQ(plain.hr, fast.hr) << what;
  EXPECT_EQ(Differences(plain.energy, fast.energy), 0) << what << " energy";
  EXPECT_EQ(Differences(plain.orientation, fast.orientation), 0) << what << " orientation";
}

class CRestoreOptions {
 public:
  ~CRestoreOptions() {
    SetWorkerThreads(0);
    ko::RestrictCpuFeatures(true, true, true);
  }
};

TEST(SteerableFastTest, ScenesMatchForEverySigma) {
  CRestoreOptions restore;
  const ko::CTypedImg<float> scene = test::SceneImage(157, 61, 3);
  for (float sigma : {0.3f, 0.5f, 0.9f, 1.0f, 1.7f, 2.0f, 2.5f, 3.3f, 4.0f}) {
    for (int32_t threads : {1, 3}) {
      SetWorkerThreads(threads);
      ExpectSame(scene, sigma, "sigma " + std::to_string(sigma) + " threads " + std::to_string(threads));
    }
  }
}

TEST(SteerableFastTest, EveryVectorFormAndTheScalarOneMatch) {
  CRestoreOptions restore;
  std::mt19937 rng(4);
  const ko::CTypedImg<float> noise = test::RandomPlane(83, 47, rng, -1000.0f, 1000.0f);
  const struct {
    bool sse2, avx2, avx512;
    const char* name;
  } forms[] = {{true, true, true, "avx512"}, {true, true, false, "avx2"}, {true, false, false, "sse2"},
               {false, false, false, "scalar"}};
  for (const auto& f : forms) {
    ko::RestrictCpuFeatures(true, f.sse2, f.avx2, f.avx512);
    for (float sigma : {1.2f, 2.0f, 4.0f}) ExpectSame(noise, sigma, std::string(f.name) + " " + std::to_string(sigma));
  }
}

TEST(SteerableFastTest, OddTinyAndBorderlineSizesMatch) {
  CRestoreOptions restore;
  std::mt19937 rng(5);
  // Sigma 2 has radius 4: 9 pixels is the smallest size with an interior.
  for (auto [w, h] : {std::pair{1, 1}, std::pair{8, 30}, std::pair{9, 9}, std::pair{10, 11}, std::pair{30, 9},
                      std::pair{131, 12}, std::pair{300, 13}}) {
    const ko::CTypedImg<float> input = test::RandomPlane(w, h, rng, 0.0f, 255.0f);
    ExpectSame(input, 2.0f, std::to_string(w) + "x" + std::to_string(h));
  }
}

// Zero taps are left out only for finite samples: NaN, infinities and values whose sums
// overflow must come out as in the plain form.
TEST(SteerableFastTest, NonFiniteAndHugeValuesMatch) {
  CRestoreOptions restore;
  std::mt19937 rng(6);
  ko::CTypedImg<float> input = test::RandomPlane(40, 36, rng, 0.0f, 255.0f);
  input.At(12, 10) = std::numeric_limits<float>::quiet_NaN();
  input.At(25, 20) = std::numeric_limits<float>::infinity();
  input.At(30, 5) = -std::numeric_limits<float>::infinity();
  for (int32_t x = 0; x < 40; ++x) input.At(x, 30) = 3e38f;
  input.At(5, 33) = 1e-40f;
  input.At(6, 33) = -0.0f;
  for (bool avx512 : {true, false}) {
    ko::RestrictCpuFeatures(true, true, true, avx512);
    for (float sigma : {1.0f, 2.0f, 3.0f}) ExpectSame(input, sigma, std::to_string(sigma) + (avx512 ? "" : " avx2"));
  }
}

TEST(SteerableFastTest, RefusesWhatThePlainFormRefuses) {
  const ko::CTypedImg<float> input = test::SceneImage(20, 20, 7);
  for (float sigma : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), 1e9f})
    EXPECT_EQ(Steer(ComputeSteerableEnergyFast, input, sigma).hr, ko::E_INVALIDARG) << sigma;
  ko::CTypedImg<float> small = test::SceneImage(10, 20, 8), out = test::SceneImage(20, 20, 8);
  EXPECT_EQ(ComputeSteerableEnergyFast(2.0f, small, out, out), ko::E_INVALIDARG);
}

}  // namespace
}  // namespace brevant
