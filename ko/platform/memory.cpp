#include "ko/platform/memory.h"

#include <atomic>
#include <cstdlib>

namespace ko {
namespace {
std::atomic<int64_t> g_countdown{-1};
}

bool KoAllocShouldFail() {
  int64_t n = g_countdown.load(std::memory_order_relaxed);
  while (n >= 0) {
    if (g_countdown.compare_exchange_weak(n, n == 0 ? -1 : n - 1)) return n == 0;
  }
  return false;
}

void SetAllocFailureCountdown(int64_t n) { g_countdown.store(n < 0 ? -1 : n); }

void* KoMalloc(size_t size) {
  if (size == 0 || KoAllocShouldFail()) return nullptr;
  return std::malloc(size);
}

void* KoCalloc(size_t size) {
  if (size == 0 || KoAllocShouldFail()) return nullptr;
  return std::calloc(1, size);
}

void KoFree(void* p) { std::free(p); }

}  // namespace ko
