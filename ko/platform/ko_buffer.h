// A buffer of T from the library's heap, owned by one scope: freed on every path out of it,
// never copied. Null when the allocation failed (or was never made).
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ko/platform/memory.h"

namespace ko {

template <class T>
class CKoBuffer {
 public:
  CKoBuffer() = default;
  // `count` elements, uninitialised; zero-filled with `zero`.
  explicit CKoBuffer(size_t count, bool zero = false) { Allocate(count, zero); }
  ~CKoBuffer() { Reset(); }
  CKoBuffer(const CKoBuffer&) = delete;
  CKoBuffer& operator=(const CKoBuffer&) = delete;
  CKoBuffer(CKoBuffer&& other) noexcept
      : p_(std::exchange(other.p_, nullptr)), count_(std::exchange(other.count_, 0)),
        mapped_(std::exchange(other.mapped_, 0)) {}
  CKoBuffer& operator=(CKoBuffer&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = std::exchange(other.p_, nullptr);
      count_ = std::exchange(other.count_, 0);
      mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
  }

  // Replaces the buffer with `count` new elements (a count of 0 still gets one, so that
  // success is a non-null pointer); false, and empty, when the bytes cannot be had or their
  // number overflows.
  bool Allocate(size_t count, bool zero = false) {
    Reset();
    if (count > SIZE_MAX / sizeof(T)) return false;
    const size_t bytes = (count == 0 ? 1 : count) * sizeof(T);
    p_ = static_cast<T*>(zero ? KoCalloc(bytes) : KoMalloc(bytes));
    if (p_) count_ = count;
    return p_ != nullptr;
  }
  // A large working buffer, zero-filled: from 4 MB straight from the system (KoMapLarge),
  // below that the same as Allocate(count, true).
  bool AllocateLarge(size_t count) {
    Reset();
    if (count > SIZE_MAX / sizeof(T)) return false;
    const size_t bytes = (count == 0 ? 1 : count) * sizeof(T);
    if (bytes < kLargeBytes) return Allocate(count, true);
    p_ = static_cast<T*>(KoMapLarge(bytes));
    if (!p_) return false;
    count_ = count;
    mapped_ = bytes;
    return true;
  }
  void Reset() {
    if (mapped_) KoUnmapLarge(p_, mapped_);
    else KoFree(p_);
    p_ = nullptr;
    count_ = 0;
    mapped_ = 0;
  }

  // Gives the elements up to the caller, who frees them with KoFree; the buffer is empty.
  // Not for a buffer of AllocateLarge.
  T* Release() {
    count_ = 0;
    return std::exchange(p_, nullptr);
  }

  T* get() const { return p_; }
  size_t size() const { return count_; }
  explicit operator bool() const { return p_ != nullptr; }
  T& operator[](size_t i) const { return p_[i]; }

 private:
  static constexpr size_t kLargeBytes = size_t{4} << 20;  // below this, the heap's blocks serve

  T* p_ = nullptr;
  size_t count_ = 0;
  size_t mapped_ = 0;  // bytes of a KoMapLarge block, else 0
};

}  // namespace ko
