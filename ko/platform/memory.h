// The library's heap: every allocation goes through here so that a failed one is a null
// pointer (never an exception), and tests can make the n-th allocation fail.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace ko {

// Uninitialised bytes; null on failure or for a size that is 0.
void* KoMalloc(size_t size);
// Zero-filled bytes; null on failure.
void* KoCalloc(size_t size);
void KoFree(void* p);

// Zero-filled memory for a large working buffer, straight from the system in 2 MB aligned
// pieces (page-aligned for direct I/O, and given back to the system when freed); null on
// failure or for 0. Freed with KoUnmapLarge and the same size.
void* KoMapLarge(size_t size);
void KoUnmapLarge(void* p, size_t size);

// True when an injected failure says this allocation must fail (test support).
bool KoAllocShouldFail();

// Tests: the allocation after `n` more successful ones fails (n = 0: the very next).
// A negative n switches injection off. Affects KoMalloc, KoCalloc, KoNew and KoNewArray.
void SetAllocFailureCountdown(int64_t n);

// Tests: the largest size asked of KoMalloc or KoCalloc since the last reset, so that a
// test can tell a decoder that asked for gigabytes from one that did not.
size_t LargestAllocationRequest();
void ResetLargestAllocationRequest();

template <class T, class... Args>
T* KoNew(Args&&... args) {
  if (KoAllocShouldFail()) return nullptr;
  return new (std::nothrow) T(std::forward<Args>(args)...);
}

// Value-initialised array of n elements; null on failure or when n * sizeof(T) overflows.
template <class T>
T* KoNewArray(size_t n) {
  if (n > SIZE_MAX / sizeof(T) || KoAllocShouldFail()) return nullptr;
  return new (std::nothrow) T[n]();
}

// Scoped failure injection for tests.
class ScopedAllocFailure {
 public:
  explicit ScopedAllocFailure(int64_t n) { SetAllocFailureCountdown(n); }
  ~ScopedAllocFailure() { SetAllocFailureCountdown(-1); }
  ScopedAllocFailure(const ScopedAllocFailure&) = delete;
  ScopedAllocFailure& operator=(const ScopedAllocFailure&) = delete;
};

}  // namespace ko
