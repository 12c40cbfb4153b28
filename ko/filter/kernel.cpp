#include "ko/filter/kernel.h"

#include <cstring>

namespace ko {

CKernel::CKernel() { SetSize(1, 0, nullptr); }

HRESULT CKernel::SetSize(int32_t newCount, int32_t newCenter, const float* source) {
  if (newCount <= 0 || newCenter < 0 || newCenter >= newCount) return lastError = E_INVALIDARG;
  const uint64_t bytes = static_cast<uint64_t>(newCount) * sizeof(float);
  void* memory = bytes <= UINT32_MAX ? tapBlock.Alloc(static_cast<uint32_t>(bytes), 1, true) : nullptr;
  if (!memory) {
    taps = nullptr;
    count = center = 0;
    return lastError = E_OUTOFMEMORY;
  }
  taps = static_cast<float*>(memory);
  count = newCount;
  center = newCenter;
  taps[center] = 1.0f;
  if (source) std::memcpy(taps, source, static_cast<size_t>(bytes));
  return S_OK;
}

}  // namespace ko
