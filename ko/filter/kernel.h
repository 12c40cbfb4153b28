// A one-dimensional filter kernel: `count` float taps in 16-byte aligned memory, tap
// `center` lying on the output sample. How a filter applies the taps (correlation or
// convolution) is the filter's business, see separable_filter.h.
#pragma once
#include <cstdint>

#include "ko/core/mem_share.h"
#include "ko/core/obj.h"

namespace ko {

class CKernel : public CErrorBase {
 public:
  // The identity kernel {1.0}, centre 0.
  CKernel();
  CKernel(const CKernel&) = delete;
  CKernel& operator=(const CKernel&) = delete;

  // `count` taps, all 0 except tap `center`, which is 1; with a `source`, its `count` floats
  // replace all taps. E_INVALIDARG for a bad count or centre, E_OUTOFMEMORY when the taps
  // cannot be allocated (the kernel is then empty: count and centre 0, no taps). Failures
  // are recorded in lastError. A kernel of the same count reuses its memory.
  HRESULT SetSize(int32_t count, int32_t center, const float* source);

  CMemShare tapBlock;
  float* taps = nullptr;
  int32_t count = 0;
  int32_t center = 0;
};

}  // namespace ko
