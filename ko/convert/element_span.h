// Row converters for equal band layouts: `count` elements from `src` into `dst` by the
// pair's element rule (element_rules.h). The spans must not overlap and carry no alignment
// promise. byte/16-bit -> float and float -> byte/16-bit take SSE2 paths when the processor
// has it; every path gives exactly the rule's value for every input.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ko {

void ConvertElementSpan(uint8_t* dst, const uint8_t* src, size_t count);    // copy
void ConvertElementSpan(float* dst, const uint8_t* src, size_t count);      // the value
void ConvertElementSpan(uint16_t* dst, const uint8_t* src, size_t count);   // v x 256
void ConvertElementSpan(uint8_t* dst, const float* src, size_t count);      // clamp, round
void ConvertElementSpan(float* dst, const float* src, size_t count);        // copy
void ConvertElementSpan(uint16_t* dst, const float* src, size_t count);     // clamp, round
void ConvertElementSpan(float* dst, const int32_t* src, size_t count);      // nearest float
void ConvertElementSpan(uint8_t* dst, const uint16_t* src, size_t count);   // (v + 128) / 256
void ConvertElementSpan(float* dst, const uint16_t* src, size_t count);     // the value
void ConvertElementSpan(uint16_t* dst, const uint16_t* src, size_t count);  // copy

}  // namespace ko
