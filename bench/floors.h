// The arithmetic floors of the run's heaviest kernels: their exact per-pixel arithmetic
// alone, in registers, with the records in the nearest cache and no other memory traffic,
// for a w x h image. What the real kernels cost beyond these is memory and bookkeeping.
#pragma once
#include <cstdint>

namespace brevant::bench {

// One refinement pass with the 36 histogram bins: every bin of both samples of every pixel,
// four terms each. Milliseconds on `threads` threads (1 or 2), in AVX-512 lanes when
// `avx512` (and the processor has them), else AVX2.
double BinPassFloorMs(int64_t pixels, int threads, bool avx512);

// The steerable filters' exact tap rule over the 13 distinct passes of `taps` taps (double
// lanes, two conversions a tap), and the orientation's C library atan2 of every pixel.
double SteerableTapFloorMs(int64_t pixels, int taps, int threads, bool avx512);
double OrientationAtan2Ms(int64_t pixels, int threads);
// The same passes as float multiply-adds, what a general-purpose filter does.
double FloatTapFloorMs(int64_t pixels, int taps);

bool HaveAvx512();

}  // namespace brevant::bench
