#include "app/threads/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace brevant {
namespace {

// Runs `loops` parallel loops of varying sizes, `pause` apart, and checks that every index of
// every loop ran exactly once, on a valid slot, before ParallelFor returned.
void ExpectEveryIndexOnce(CThreadPool& pool, int loops, std::chrono::microseconds pause) {
  for (int loop = 0; loop < loops; ++loop) {
    const int64_t count = 1 + (loop * 7) % 40;
    std::vector<std::atomic<int>> runs(static_cast<size_t>(count));
    std::atomic<bool> badSlot{false};
    pool.ParallelFor(count, [&](int64_t i, int32_t slot) {
      if (slot < 0 || slot >= pool.Threads()) badSlot = true;
      runs[static_cast<size_t>(i)].fetch_add(1);
    });
    ASSERT_FALSE(badSlot) << "loop " << loop;
    for (int64_t i = 0; i < count; ++i)
      ASSERT_EQ(runs[static_cast<size_t>(i)].load(), 1) << "loop " << loop << " index " << i;
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
}

// Back to back the workers find the next loop while still watching; with pauses longer than
// the watch they must be woken from their sleep.
TEST(ThreadPoolTest, EveryIndexRunsOnceWhetherLoopsFollowAtOnceOrAfterASleep) {
  for (int32_t threads : {2, 3, 5}) {
    CThreadPool pool(threads);
    ExpectEveryIndexOnce(pool, 2000, std::chrono::microseconds(0));
    ExpectEveryIndexOnce(pool, 30, std::chrono::microseconds(300));
    ExpectEveryIndexOnce(pool, 200, std::chrono::microseconds(30));
  }
}

// A slow index on one thread: the others take the rest, and the caller waits past its
// watch for the slow one.
TEST(ThreadPoolTest, TheCallerWaitsForASlowWorker) {
  CThreadPool pool(2);
  std::atomic<int> done{0};
  pool.ParallelFor(8, [&](int64_t i, int32_t) {
    if (i == 7) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done.fetch_add(1);
  });
  EXPECT_EQ(done.load(), 8);
}

// Destroyed right after a loop, while its workers are still watching for the next one.
TEST(ThreadPoolTest, DestroyedWhileItsWorkersWatch) {
  for (int i = 0; i < 50; ++i) {
    auto pool = std::make_unique<CThreadPool>(3);
    std::atomic<int> done{0};
    pool->ParallelFor(6, [&](int64_t, int32_t) { done.fetch_add(1); });
    pool.reset();
    EXPECT_EQ(done.load(), 6);
  }
}

}  // namespace
}  // namespace brevant
