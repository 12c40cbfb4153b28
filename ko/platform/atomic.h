// Atomic reference-count helpers (increment and decrement return the new value).
#pragma once
#include <atomic>
#include <cstdint>

namespace ko {

inline int32_t InterlockedIncrement(int32_t* value) {
  return std::atomic_ref<int32_t>(*value).fetch_add(1, std::memory_order_relaxed) + 1;
}

inline int32_t InterlockedDecrement(int32_t* value) {
  return std::atomic_ref<int32_t>(*value).fetch_sub(1, std::memory_order_acq_rel) - 1;
}

}  // namespace ko
