// Shared helpers of the filter tests: random rows with awkward values, buffers at chosen
// misalignments, and bitwise comparison.
#pragma once
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace ko::test {

// Random floats in [-4, 4); with `awkward`, about one value in eight is an edge value
// (signed zero, a subnormal, infinity, NaN, a huge or a tiny number).
std::vector<float> RandomFloats(std::mt19937& rng, size_t count, bool awkward);

// Same bits, or both NaN (NaN payloads may legitimately differ with operand order).
inline bool SameFloat(float a, float b) {
  if (a != a && b != b) return true;
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// Floats starting `offset` floats past a 16-byte boundary.
class AlignedFloats {
 public:
  AlignedFloats(size_t count, size_t offset);
  float* data() { return data_; }
  const float* data() const { return data_; }

 private:
  std::vector<float> storage_;
  float* data_;
};

}  // namespace ko::test
