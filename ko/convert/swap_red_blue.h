// Exchanges the blue and red bands (bands 0 and 2) of 4-band pixels in place; bands 1 and
// 3 stay where they are. Used to reorder decoded pixels.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ko {

// `count` pixels of 4 bytes.
void SwapRedBlue(uint8_t* row, size_t count);
// `count` pixels of 4 floats; the bits are moved, never converted.
void SwapRedBlue(float* row, size_t count);

}  // namespace ko
