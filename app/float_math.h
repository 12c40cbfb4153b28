// The pipeline's single-precision math: each function is the double-precision one on the
// widened argument, rounded to float, so results do not depend on the C library's float
// variants. Constants are double.
#pragma once
#include <cmath>

namespace brevant {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kHalfPi = 0.5 * kPi;

inline float SqrtF(float x) { return static_cast<float>(std::sqrt(static_cast<double>(x))); }
inline float ExpF(float x) { return static_cast<float>(std::exp(static_cast<double>(x))); }
inline float FabsF(float x) { return static_cast<float>(std::fabs(static_cast<double>(x))); }
inline float Atan2F(float y, float x) {
  return static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
}

}  // namespace brevant
