#include "app/refine/refine_rule.h"

#include <climits>

#include "app/edge_state.h"

namespace brevant {

bool OrientationBin(float orientation, int32_t* bin, float* fraction) {
  constexpr float kLastBinPosition = 0.999f;  // keeps an orientation of 2 pi out of bin 36
  float theta = orientation;
  if (theta < 0.0f) theta = static_cast<float>(theta + kTwoPi);
  float t = static_cast<float>(theta / kTwoPi);
  if (t < 0.0f) t = 0.0f;
  if (t > kLastBinPosition) t = kLastBinPosition;
  const float f = t * static_cast<float>(kHistogramBins);
  // Only NaN gets here outside [0, 36); its integer part is undefined, and the value x86
  // produces for it stands in for it in the error line.
  if (!(f >= 0.0f && f < static_cast<float>(kHistogramBins))) {
    *bin = INT_MIN;
    *fraction = 0.0f;
    return false;
  }
  *bin = static_cast<int32_t>(f);
  *fraction = f - static_cast<float>(*bin);
  return true;
}

}  // namespace brevant
