// Byte fill and copy helpers used for image rows; same results as memset and memcpy.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ko {

void FillBytes(void* dst, uint8_t value, size_t count);
// The ranges must not overlap.
void CopyBytes(void* dst, const void* src, size_t count);

}  // namespace ko
