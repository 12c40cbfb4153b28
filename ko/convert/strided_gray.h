// Intensity planes from pixels laid out any way in memory (a numpy array's view, say): each
// sample found by its byte strides, the colour's bands in any order, nothing copied first.
// The values are those the library's converters give for the same pixels.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/platform/hresult.h"

namespace ko {

// The element types a strided source may hold.
enum class EStridedElement { kByte, kShort, kFloat };

struct SStridedPixels {
  const uint8_t* base = nullptr;  // the first sample of pixel (0, 0)
  int32_t width = 0, height = 0;
  ptrdiff_t rowStride = 0, pixelStride = 0, bandStride = 0;  // in bytes, any sign
  EStridedElement element = EStridedElement::kByte;
};

// out[y * outStride + x] = Luma of the pixel's bands red, green and blue (their indices
// among the pixel's bands); E_INVALIDARG for a negative size or index.
HRESULT StridedColorToGray(const SStridedPixels& in, int32_t red, int32_t green, int32_t blue, float* out,
                           ptrdiff_t outStride);

// out[y * outStride + x] = the pixel's one band as float, unscaled.
HRESULT StridedGrayToFloat(const SStridedPixels& in, float* out, ptrdiff_t outStride);

}  // namespace ko
