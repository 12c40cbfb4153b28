// Lookup tables through the sRGB transfer curve, indexed by a 16-bit code (0..65535 for
// 0..1). The caller owns the 65536 entries.
#pragma once
#include <cstdint>

namespace ko {

constexpr int32_t kSrgbEncode = 0;  // linear -> sRGB
constexpr int32_t kSrgbDecode = 1;  // sRGB -> linear

// Fill all 65536 entries (16-bit codes, or 8-bit codes 0..255) and return `table`. A mode
// other than kSrgbEncode or kSrgbDecode, or a null table, leaves everything untouched.
uint16_t* BuildSrgbTable16(uint16_t* table, int32_t mode);
uint8_t* BuildSrgbTable8(uint8_t* table, int32_t mode);

}  // namespace ko
