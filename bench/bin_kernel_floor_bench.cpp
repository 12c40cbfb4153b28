// How fast one refinement pass with the 36 histogram bins could be at best on this machine:
// the exact sample rule alone, its records in the nearest cache, no other memory traffic. Each
// bin of each of the two samples of a pixel takes four terms (weight times record in float,
// widened, times the bilinear weight in double, added, the sum rounded to float after each
// term): for a 2048 x 2048 image 4M x 2 x 4 x 9 groups of four double lanes, three
// conversions a group; in AVX2 lanes and, where the processor has them, AVX-512 lanes. Run on
// one thread and on two at once.
//
//   build/bench/bin_kernel_floor_bench
#include <cstdio>
#include <initializer_list>

#include "bench/floors.h"

int main() {
  using namespace brevant::bench;
  constexpr int64_t kPixels = 2048L * 2048;
  for (bool wide : {false, true}) {
    if (wide && !HaveAvx512()) break;
    for (int threads : {1, 2}) {
      double best = 1e30;
      for (int rep = 0; rep < 3; ++rep) {
        const double ms = BinPassFloorMs(kPixels, threads, wide);
        if (ms < best) best = ms;
      }
      std::printf("36-bin pass, exact sample arithmetic only, %s, %d thread%s: %.1f ms\n", wide ? "AVX-512" : "AVX2",
                  threads, threads > 1 ? "s" : "", best);
    }
  }
}
