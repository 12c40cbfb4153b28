// Writes one pixel value into a run of pixels.
#pragma once
#include <cstddef>

namespace ko {

// Writes `count` copies of the `size` bytes at `value` one after another from `dst`
// (`size` x `count` bytes in all; `value` must not lie inside them) and returns `dst`.
// Any `size` is allowed; 1, 2, 4, 8 and 16 take 16-byte stores when the processor has SSE2.
void* FillPixelSpan(void* dst, const void* value, size_t size, size_t count);

}  // namespace ko
