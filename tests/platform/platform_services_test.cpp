#include "ko/platform/platform_services.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

namespace {

// Each test runs in a fresh process (one test a process under CTest), so the services
// start from nothing here.
TEST(PlatformStartup, EachServiceStartsOnce) {
  ko::EnsureGdiplusStarted();
  ko::EnsureGdiplusStarted();
  EXPECT_EQ(ko::GdiplusActiveCount(), 1);
  ko::EnsureComInitialized();
  ko::EnsureComInitialized();
  EXPECT_EQ(ko::ComActiveCount(), 1);
}

// Readers are called from several threads at once: the first calls must not race into
// two start-ups, and no caller may return before the service is up.
TEST(PlatformStartup, ConcurrentCallersStartEachServiceOnce) {
  std::vector<std::thread> threads;
  std::vector<int> seen(16, 0);
  std::latch go(16);  // all threads call at once
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([&seen, &go, i] {
      go.arrive_and_wait();
      ko::EnsureGdiplusStarted();
      ko::EnsureComInitialized();
      seen[i] = ko::GdiplusActiveCount() * 10 + ko::ComActiveCount();
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(ko::GdiplusActiveCount(), 1);
  EXPECT_EQ(ko::ComActiveCount(), 1);
  for (int s : seen) EXPECT_EQ(s, 11);
}

}  // namespace
