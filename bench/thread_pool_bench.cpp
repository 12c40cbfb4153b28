// What one parallel loop of the worker pool costs beyond its work: loops of 32 empty indices
// back to back, as the refinement with histograms runs them (one a level and step, about
// 2,900 in a 2048 x 2048 run of 10 passes).
//
//   build/bench/thread_pool_bench
#include <atomic>
#include <chrono>
#include <cstdio>

#include "app/threads/thread_pool.h"

int main() {
  using namespace brevant;
  for (int32_t threads : {2, 3}) {
    CThreadPool pool(threads);
    std::atomic<int64_t> sink{0};
    double best = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
      const auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < 3000; ++i) pool.ParallelFor(32, [&](int64_t j, int32_t) { sink += j; });
      const auto t1 = std::chrono::steady_clock::now();
      const double us = std::chrono::duration<double, std::micro>(t1 - t0).count() / 3000;
      if (us < best) best = us;
    }
    std::printf("%d threads: %.1f us a loop of 32 empty indices\n", threads, best);
  }
}
