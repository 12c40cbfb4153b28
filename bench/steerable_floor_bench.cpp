// How fast the steerable filters could be at best on this machine, in registers only, with
// no memory traffic: the exact tap rule (the product in double, each partial sum rounded to
// float, so double lanes and two conversions a tap) beside the plain float multiply-add a
// general-purpose filter uses, for the 13 distinct passes over a 2048 x 2048 image at
// sigma 2 (9 taps) and 4 (17 taps); and the orientation's atan2 for every pixel, which the
// exact result also needs. The exact floor is what bounds the fast form, not the yardstick.
//
//   build/bench/steerable_floor_bench
#include <cstdio>
#include <initializer_list>

#include "bench/floors.h"

int main() {
  using namespace brevant::bench;
  constexpr int64_t kPixels = 2048L * 2048;
  for (int taps : {9, 17}) {
    std::printf("taps %d: exact double-lane floor %.1f ms (AVX-512: %.1f ms), float-lane floor %.1f ms\n", taps,
                SteerableTapFloorMs(kPixels, taps, 1, false),
                HaveAvx512() ? SteerableTapFloorMs(kPixels, taps, 1, true) : 0.0, FloatTapFloorMs(kPixels, taps));
  }
  std::printf("atan2 of %ld pixels: %.1f ms\n", static_cast<long>(kPixels), OrientationAtan2Ms(kPixels, 1));
}
