// The weight exponent (the neighbour's orientation folded first) as every lane width works it
// out in double lanes, against the same steps in float arithmetic, over random and boundary
// orientations (the wrap at pi, the turn at pi / 2, zeros, NaN, infinities, subnormal and
// huge values).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "app/pipeline_test_util.h"
#include "app/refine/refine_lanes.h"
#include "app/refine/refine_rule.h"

namespace brevant {
namespace {

// The neighbour's orientation folded into [0, pi] first, as the batch form does.
float FloatSteps(float theta, float neighbour, bool* backward) {
  if (neighbour > kPi) neighbour = static_cast<float>(neighbour - kPi);
  if (neighbour < 0.0f) neighbour = static_cast<float>(neighbour + kPi);
  float delta = std::fabs(theta - neighbour);
  if (delta > kPi) delta = static_cast<float>(kTwoPi - delta);
  *backward = !(delta < kHalfPi);
  if (*backward) delta = static_cast<float>(kPi - delta);
  return static_cast<float>(static_cast<double>(delta) * delta / kWeightScale);
}

TEST(WeightRuleTest, EveryWidthGivesTheFloatSteps) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> special = {0.0f, -0.0f, nan, inf, -inf, 1e-45f, -1e-45f, 1e-38f, 3e38f, -3e38f, 1.0f, 6.2831855f};
  for (double edge : {kPi, kHalfPi, kTwoPi, 1.5 * kPi}) {
    const float f = static_cast<float>(edge);
    special.insert(special.end(), {f, std::nextafter(f, 0.0f), std::nextafter(f, 10.0f), -f});
  }
  std::vector<float> theta, neighbour;
  for (float a : special)
    for (float b : special) {
      theta.push_back(a);
      neighbour.push_back(b);
    }
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> angle(-1.0f, 7.5f);
  for (int i = 0; i < 20000; ++i) {
    theta.push_back(angle(rng));
    neighbour.push_back(i % 3 ? angle(rng) : theta.back() + static_cast<float>(kHalfPi) * (i % 2 ? 1.0f : -1.0f));
  }
  const int32_t n = static_cast<int32_t>(theta.size());
  for (const test::SLaneForm& form : test::LaneForms()) {
    std::vector<float> q(theta.size());
    std::vector<uint8_t> backward(theta.size());
    RefineLanesFor(form.features).weightExponents(theta.data(), neighbour.data(), q.data(), backward.data(), n);
    int mismatches = 0;
    for (int32_t i = 0; i < n; ++i) {
      bool expectedBackward = false;
      const float expected = FloatSteps(theta[i], neighbour[i], &expectedBackward);
      if (std::memcmp(&q[i], &expected, sizeof expected) == 0 && backward[i] == expectedBackward) continue;
      if (++mismatches <= 5)
        ADD_FAILURE() << form.name << ": theta " << theta[i] << " neighbour " << neighbour[i] << " gives " << q[i]
                      << " " << int(backward[i]) << ", not " << expected << " " << expectedBackward;
    }
    EXPECT_EQ(mismatches, 0) << form.name;
  }
}

}  // namespace
}  // namespace brevant
