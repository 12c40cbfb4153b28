// The sample points, whose backward point takes its unit from the forward one's negated sine
// and cosine where that settles the float, against the plain formula (the library's sine
// and cosine of theta + pi): every bit, over orientations where the shortcut is taken and
// where it must not be.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "app/refine/refine_rule.h"

namespace brevant {
namespace {

float PlainAlong(double trig, float origin) {
  const float offset = static_cast<float>(static_cast<float>(trig) * kSampleDistance);
  return static_cast<float>(static_cast<double>(offset) + origin);
}

bool SameAsPlain(float theta, int32_t x, int32_t y) {
  const SSamplePoints p = SamplePoints(theta, x, y);
  const double phi = theta + kPi;
  const float xf = static_cast<float>(x), yf = static_cast<float>(y);
  const float expected[4] = {PlainAlong(std::cos(static_cast<double>(theta)), xf),
                             PlainAlong(std::sin(static_cast<double>(theta)), yf), PlainAlong(std::cos(phi), xf),
                             PlainAlong(std::sin(phi), yf)};
  const float got[4] = {p.x[0], p.y[0], p.x[1], p.y[1]};
  return std::memcmp(expected, got, sizeof got) == 0;
}

TEST(SamplePointsTest, MatchThePlainFormula) {
  std::vector<float> thetas;
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  for (float v : {0.0f, -0.0f, nan, inf, -inf, 1e-45f, 1e-30f, 4.0f, 3e38f, -1.0f, 7.0f}) thetas.push_back(v);
  // Around the points where a sine or cosine passes 0 or 1 (the float's rounding is finest or
  // coarsest there), and around the shortcut's last theta.
  for (double edge : {0.0, kHalfPi, kPi, 4.0}) {
    float up = static_cast<float>(edge), down = up;
    for (int i = 0; i < 20000; ++i) {
      thetas.push_back(up);
      thetas.push_back(down);
      up = std::nextafter(up, 10.0f);
      down = std::nextafter(down, -10.0f);
    }
  }
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> angle(0.0f, static_cast<float>(kPi));
  for (int i = 0; i < 400000; ++i) thetas.push_back(angle(rng));
  int mismatches = 0;
  for (size_t i = 0; i < thetas.size(); ++i) {
    const int32_t x = static_cast<int32_t>(i % 3000), y = static_cast<int32_t>(i % 1700);
    if (SameAsPlain(thetas[i], x, y)) continue;
    if (++mismatches <= 5) ADD_FAILURE() << "theta " << thetas[i] << " at " << x << ", " << y;
  }
  EXPECT_EQ(mismatches, 0);
}

// Every float theta in [0, 4] (about a billion; a minute or two on two cores):
//   build/tests/app_tests --gtest_also_run_disabled_tests --gtest_filter='*EveryFloatUpToFour*'
TEST(SamplePointsTest, DISABLED_EveryFloatUpToFourMatches) {
  uint32_t last = 0;
  const float four = 4.0f;
  std::memcpy(&last, &four, sizeof last);
  std::atomic<uint64_t> mismatches{0};
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (uint32_t bits = t; bits <= last; bits += threads) {
        float theta = 0.0f;
        std::memcpy(&theta, &bits, sizeof theta);
        if (!SameAsPlain(theta, static_cast<int32_t>(bits % 2048), static_cast<int32_t>(bits % 1999))) ++mismatches;
      }
    });
  }
  for (std::thread& th : pool) th.join();
  EXPECT_EQ(mismatches.load(), 0u);
}

}  // namespace
}  // namespace brevant
