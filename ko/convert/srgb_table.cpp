#include "ko/convert/srgb_table.h"

#include <cmath>

#include "ko/convert/element_rules.h"

namespace ko {
namespace {

// The curve's constants are single-precision values used in double arithmetic; only the
// decode threshold is a double. Every intermediate is rounded to float where noted, as the
// stored tables depend on it.
constexpr double kEncodeThreshold = 0.0031308f;
constexpr double kSlope = 12.92f;
constexpr double kEncodeExponent = 1.0f / 2.4f;
constexpr double kScale = 1.055f;
constexpr double kOffset = 0.055f;
constexpr double kDecodeExponent = 2.4f;
constexpr double kDecodeThreshold = 0.04045;

inline double ToFloat(double x) { return static_cast<float>(x); }

template <class T>
T* BuildSrgbTable(T* table, int32_t mode, double fullScale) {
  if (!table || (mode != kSrgbEncode && mode != kSrgbDecode)) return table;
  for (uint32_t i = 0; i < 65536; ++i) {
    const double b = ToFloat(i / 65535.0);
    double s;
    if (mode == kSrgbEncode) {
      if (b <= kEncodeThreshold) {
        s = ToFloat(b * kSlope);
      } else {
        const double p = ToFloat(std::pow(b, kEncodeExponent));
        s = ToFloat(p * kScale - kOffset);
      }
    } else {
      if (b <= kDecodeThreshold) {
        s = ToFloat(b / kSlope);
      } else {
        const double q = ToFloat((b + kOffset) / kScale);
        s = ToFloat(std::pow(q, kDecodeExponent));
      }
    }
    const double v = ToFloat(s * fullScale);
    // The curves keep v within 0..fullScale; the low bits are what the table holds.
    table[i] = static_cast<T>(static_cast<int64_t>(RoundHalfEven(v)));
  }
  return table;
}

}  // namespace

uint16_t* BuildSrgbTable16(uint16_t* table, int32_t mode) { return BuildSrgbTable(table, mode, 65535.0); }
uint8_t* BuildSrgbTable8(uint8_t* table, int32_t mode) { return BuildSrgbTable(table, mode, 255.0); }

}  // namespace ko
