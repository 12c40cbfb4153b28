// Helpers shared by the conversion tests.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ko/core/img.h"
#include "ko/platform/cpu_features.h"

namespace kotest {

// Forces the scalar paths for its lifetime.
class ScalarOnly {
 public:
  ScalarOnly() { ko::RestrictCpuFeatures(false, false, false); }
  ~ScalarOnly() { ko::RestrictCpuFeatures(true, true, true); }
  ScalarOnly(const ScalarOnly&) = delete;
  ScalarOnly& operator=(const ScalarOnly&) = delete;
};

inline bool HasSse2() { return ko::GetHardwareCpuFeatures().sse2; }

// Bytes whose start is 64-aligned, so that offsets from it give every alignment.
class AlignedBytes {
 public:
  explicit AlignedBytes(size_t size, uint8_t fill = 0) : storage_(size + 64, fill) {
    const auto addr = reinterpret_cast<uintptr_t>(storage_.data());
    base_ = storage_.data() + ((64 - (addr & 63)) & 63);
  }
  uint8_t* data() { return base_; }
  template <class T>
  T* at(size_t byteOffset) {
    return reinterpret_cast<T*>(base_ + byteOffset);
  }

 private:
  std::vector<uint8_t> storage_;
  uint8_t* base_;
};

inline uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
inline float BitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// Reference rounding written without the library's helper: the fraction of a float is
// exact in double, so ties can be seen directly.
inline int64_t NearestEven(double x) {
  const double f = std::floor(x);
  const double frac = x - f;
  auto n = static_cast<int64_t>(f);
  if (frac > 0.5 || (frac == 0.5 && (n & 1) != 0)) ++n;
  return n;
}
inline uint8_t RefFloatToByte(float x) {
  if (std::isnan(x) || x <= 0.0f) return 0;
  if (x >= 255.0f) return 255;
  return static_cast<uint8_t>(NearestEven(x));
}
inline uint16_t RefFloatToShort(float x) {
  if (std::isnan(x) || x <= 0.0f) return 0;
  if (x >= 65535.0f) return 65535;
  return static_cast<uint16_t>(NearestEven(x));
}

// An image whose rows carry `pad` bytes beyond width x pixel size, all preset to `fill`.
inline void CreatePadded(ko::CImg& img, int32_t width, int32_t height, int32_t bands, int32_t elementSize,
                         int32_t type, std::vector<uint8_t>& memory, int32_t pad, uint8_t fill) {
  const int32_t stride = width * bands * elementSize + pad;
  memory.assign(static_cast<size_t>(stride) * height + 16, fill);
  // A pad that is a multiple of 4 keeps every row aligned for its elements.
  img.Attach(memory.data(), width, height, bands, stride, elementSize, type);
}

}  // namespace kotest
