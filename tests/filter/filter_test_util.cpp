#include "filter/filter_test_util.h"

#include <cstdint>
#include <limits>

namespace ko::test {

std::vector<float> RandomFloats(std::mt19937& rng, size_t count, bool awkward) {
  static const float kAwkward[] = {0.0f,
                                   -0.0f,
                                   std::numeric_limits<float>::denorm_min(),
                                   -1.5e-39f,
                                   std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::quiet_NaN(),
                                   3.0e38f,
                                   -2.5e38f,
                                   1.0e-30f,
                                   1.0f,
                                   16777217.0f};
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  std::uniform_int_distribution<int> pick(0, awkward ? 7 : 0);
  std::uniform_int_distribution<size_t> which(0, sizeof kAwkward / sizeof kAwkward[0] - 1);
  std::vector<float> out(count);
  for (float& v : out) v = (awkward && pick(rng) == 0) ? kAwkward[which(rng)] : value(rng);
  return out;
}

AlignedFloats::AlignedFloats(size_t count, size_t offset) : storage_(count + offset + 8, -123.0f) {
  auto address = reinterpret_cast<uintptr_t>(storage_.data());
  address = (address + 15) & ~uintptr_t{15};
  data_ = reinterpret_cast<float*>(address) + offset;
}

}  // namespace ko::test
