#include "ko/convert/fill_pixel_span.h"

#include <gtest/gtest.h>

#include "convert_test_util.h"

namespace {

using kotest::AlignedBytes;

// Every size up to 17 and a few odd ones, counts 0..40, every start address within 16
// bytes, with and without SSE2: exactly count copies of the value, nothing around them.
TEST(FillPixelSpan, WritesCountCopiesAndNothingElse) {
  constexpr uint8_t kGuard = 0x5A;
  for (int scalar = 0; scalar < 2; ++scalar) {
    if (scalar) ko::RestrictCpuFeatures(false, false, false);
    for (size_t size : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 24, 32}) {
      uint8_t value[32];
      for (size_t k = 0; k < size; ++k) value[k] = static_cast<uint8_t>(0x11 * (k + 1) + size);
      for (size_t count = 0; count <= 40; ++count) {
        for (size_t off = 0; off < 16; ++off) {
          const size_t total = 32 + size * count + 32;
          AlignedBytes buf(total, kGuard);
          void* ret = ko::FillPixelSpan(buf.data() + off, value, size, count);
          ASSERT_EQ(ret, buf.data() + off);
          for (size_t b = 0; b < total; ++b) {
            const bool inside = b >= off && b < off + size * count;
            const uint8_t want = inside ? value[(b - off) % size] : kGuard;
            ASSERT_EQ(buf.data()[b], want) << "size " << size << " count " << count << " off " << off << " byte " << b
                                           << (scalar ? " scalar" : " vector");
          }
        }
      }
    }
  }
  ko::RestrictCpuFeatures(true, true, true);
}

}  // namespace
