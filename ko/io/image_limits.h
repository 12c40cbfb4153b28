// Limits every reader applies to a declared image size before it allocates the image, so
// that a small hostile file cannot make a reader ask for gigabytes. Readers whose format
// says how many bytes the pixels take also refuse a body shorter than that first.
#pragma once
#include <cstdint>

#include "ko/platform/hresult.h"

namespace ko {

// At most 2^28 pixels (16384 x 16384) per image...
constexpr int64_t kMaxImagePixels = int64_t{1} << 28;
// ...and at most 2 GiB of pixels in the image the reader creates (2^27 pixels of 4-band
// float, 2^28 of 4-band bytes).
constexpr uint64_t kMaxImageBytes = uint64_t{1} << 31;

// Whether a width x height image of `bands` x `elementBytes` per pixel is within both
// limits. Sizes below 1 are for the image itself to refuse: they pass here.
constexpr bool WithinImageLimits(int64_t width, int64_t height, int64_t bands, int64_t elementBytes) {
  if (width < 1 || height < 1 || bands < 1 || elementBytes < 1) return true;
  if (width > kMaxImagePixels || height > kMaxImagePixels / width) return false;
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  const uint64_t pixelBytes = static_cast<uint64_t>(bands) * static_cast<uint64_t>(elementBytes);
  return pixelBytes <= kMaxImageBytes && pixels <= kMaxImageBytes / pixelBytes;
}

// A caller's own say on the images readers create, asked with the declared size after the
// limits above and before the pixels are allocated or read: a program uses it to refuse an
// image its whole work could not hold in memory, without first filling gigabytes for it.
// It returns S_OK to go on, or the code the read then fails with. One per thread: a gate
// set on a thread applies to the loads that thread makes, so that loads on other threads
// (other analyses in the same process) keep their own.
using ImageSizeGate = HRESULT (*)(int32_t width, int32_t height, int32_t bands, int32_t elementBytes,
                                  void* context);
void SetImageSizeGate(ImageSizeGate gate, void* context);

// The limits, then the gate: what every reader asks before it creates the caller's image.
// E_OUTOFMEMORY beyond the limits. Sizes below 1 pass (the image refuses them itself).
HRESULT CheckImageAllocation(int32_t width, int32_t height, int32_t bands, int32_t elementBytes);

}  // namespace ko
