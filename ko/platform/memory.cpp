#include "ko/platform/memory.h"

#include <atomic>
#include <cstdlib>

namespace ko {
namespace {
std::atomic<int64_t> g_countdown{-1};
std::atomic<size_t> g_largest{0};

void NoteRequest(size_t size) {
  size_t seen = g_largest.load(std::memory_order_relaxed);
  while (size > seen && !g_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}
}  // namespace

bool KoAllocShouldFail() {
  int64_t n = g_countdown.load(std::memory_order_relaxed);
  while (n >= 0) {
    if (g_countdown.compare_exchange_weak(n, n == 0 ? -1 : n - 1)) return n == 0;
  }
  return false;
}

void SetAllocFailureCountdown(int64_t n) { g_countdown.store(n < 0 ? -1 : n); }

size_t LargestAllocationRequest() { return g_largest.load(std::memory_order_relaxed); }
void ResetLargestAllocationRequest() { g_largest.store(0, std::memory_order_relaxed); }

void* KoMalloc(size_t size) {
  NoteRequest(size);
  if (size == 0 || KoAllocShouldFail()) return nullptr;
  return std::malloc(size);
}

void* KoCalloc(size_t size) {
  NoteRequest(size);
  if (size == 0 || KoAllocShouldFail()) return nullptr;
  return std::calloc(1, size);
}

void KoFree(void* p) { std::free(p); }

}  // namespace ko
