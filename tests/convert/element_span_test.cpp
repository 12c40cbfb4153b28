#include "ko/convert/element_span.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "convert_test_util.h"

namespace {

using kotest::AlignedBytes;
using kotest::BitsFloat;
using kotest::FloatBits;
using kotest::ScalarOnly;
using ko::ConvertElementSpan;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Float inputs that probe the clamps, the ties and the integer conversion.
std::vector<float> FloatProbes() {
  std::vector<float> v = {0.0f, -0.0f, 0.5f, 1.5f, 2.5f, 3.5f, 254.5f, 255.49f, 255.5f, 256.0f, 65534.5f,
                          65535.2f, 65535.5f, -0.4f, -0.5f, -0.6f, 0.49999997f, 0.50000006f, 32767.5f, 32768.5f,
                          300.0f, -7.0f, 70000.0f, 1.0e10f, -1.0e10f, 2147483520.0f, 2147483648.0f, 4294967296.0f,
                          -2147483648.0f, -2147483904.0f, 9.0e18f, FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_MIN,
                          BitsFloat(1), BitsFloat(0x80000001u), kInf, -kInf, kNaN, -kNaN, BitsFloat(0x7F800001u),
                          BitsFloat(0xFFC12345u), 255.0f, 254.99998f, 255.00002f, 65535.0f, 65534.996f, 65535.004f};
  for (float x : {1.0f, 128.0f, 255.0f, 32768.0f, 65535.0f}) {
    v.push_back(std::nextafter(x, 0.0f));
    v.push_back(std::nextafter(x, 1e30f));
  }
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> small(-20.0f, 300.0f), wide(-1000.0f, 70000.0f);
  for (int i = 0; i < 3000; ++i) {
    v.push_back(small(rng));
    v.push_back(wide(rng));
    v.push_back(static_cast<float>(static_cast<int>(rng() % 140000) - 4000) * 0.5f);  // halves: ties
    v.push_back(BitsFloat(static_cast<uint32_t>(rng())));                                // anything at all
  }
  return v;
}

// Runs a span through the scalar and the vector path for every length 0..70, every
// alignment of the float side within 16 bytes and every alignment of the other side, and
// checks both against the reference and that nothing outside the span is written.
template <class S, class D, class Ref>
void SweepSpans(const std::vector<S>& pool, Ref reference) {
  constexpr size_t kMaxLen = 70;
  constexpr uint8_t kGuard = 0xA5;
  size_t rotation = 0;
  for (size_t srcOff = 0; srcOff < 16; srcOff += sizeof(S)) {
    for (size_t dstOff = 0; dstOff < 16; dstOff += sizeof(D)) {
      for (size_t len = 0; len <= kMaxLen; ++len, rotation += 7) {
        AlignedBytes src((kMaxLen + 8) * sizeof(S));
        S* s = src.at<S>(srcOff);
        for (size_t i = 0; i < len; ++i) s[i] = pool[(rotation + i) % pool.size()];
        const size_t dstBytes = (kMaxLen + 8) * sizeof(D) + 32;
        AlignedBytes vec(dstBytes, kGuard), sca(dstBytes, kGuard);
        ConvertElementSpan(vec.at<D>(dstOff), s, len);
        {
          ScalarOnly scalar;
          ConvertElementSpan(sca.at<D>(dstOff), s, len);
        }
        for (size_t i = 0; i < len; ++i) {
          const D want = reference(s[i]);
          ASSERT_EQ(vec.at<D>(dstOff)[i], want) << "vector, len " << len << " i " << i << " src " << +s[i];
          ASSERT_EQ(sca.at<D>(dstOff)[i], want) << "scalar, len " << len << " i " << i << " src " << +s[i];
        }
        for (size_t b = 0; b < dstBytes; ++b) {
          if (b >= dstOff && b < dstOff + len * sizeof(D)) continue;
          ASSERT_EQ(vec.data()[b], kGuard) << "vector wrote outside, len " << len << " byte " << b;
          ASSERT_EQ(sca.data()[b], kGuard) << "scalar wrote outside, len " << len << " byte " << b;
        }
      }
    }
  }
}

// A long span of every value, through both paths.
template <class S, class D, class Ref>
void CheckAllValues(const std::vector<S>& values, Ref reference) {
  std::vector<D> vec(values.size()), sca(values.size());
  ConvertElementSpan(vec.data(), values.data(), values.size());
  {
    ScalarOnly scalar;
    ConvertElementSpan(sca.data(), values.data(), values.size());
  }
  for (size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(vec[i], reference(values[i])) << "vector, value " << +values[i];
    ASSERT_EQ(sca[i], reference(values[i])) << "scalar, value " << +values[i];
  }
}

std::vector<uint8_t> AllBytes() {
  std::vector<uint8_t> v(256);
  for (int i = 0; i < 256; ++i) v[i] = static_cast<uint8_t>(i);
  return v;
}
std::vector<uint16_t> AllShorts() {
  std::vector<uint16_t> v(65536);
  for (int i = 0; i < 65536; ++i) v[i] = static_cast<uint16_t>(i);
  return v;
}

TEST(ElementSpan, VectorPathIsAvailableOnThisMachine) {
  // The parity sweeps below prove nothing about the vector path without SSE2.
  EXPECT_TRUE(kotest::HasSse2());
}

TEST(ElementSpan, ByteAndShortToFloatAreExactForEveryValue) {
  auto exact = [](auto v) { return static_cast<float>(v); };
  CheckAllValues<uint8_t, float>(AllBytes(), exact);
  CheckAllValues<uint16_t, float>(AllShorts(), exact);
  SweepSpans<uint8_t, float>(AllBytes(), exact);
  std::vector<uint16_t> shorts = {0, 1, 255, 256, 32767, 32768, 32769, 65534, 65535};
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) shorts.push_back(static_cast<uint16_t>(rng()));
  SweepSpans<uint16_t, float>(shorts, exact);
}

TEST(ElementSpan, FloatToByteClampsThenRoundsToEven) {
  std::vector<float> values;
  for (int v = -2; v <= 70000; ++v) values.push_back(static_cast<float>(v));
  for (int v = -4; v <= 2 * 300; ++v) values.push_back(v * 0.5f);
  for (float x : FloatProbes()) values.push_back(x);
  CheckAllValues<float, uint8_t>(values, kotest::RefFloatToByte);
  SweepSpans<float, uint8_t>(FloatProbes(), kotest::RefFloatToByte);

  // The stated cases, in a span too short for a vector block and in one of 64.
  const float in[] = {0.5f, 1.5f, 2.5f, 254.5f, 255.49f, 300.0f, -7.0f, kInf, kNaN, 254.6f, 255.4f, -0.4f};
  const uint8_t want[] = {0, 2, 2, 254, 255, 255, 0, 255, 0, 255, 255, 0};
  for (size_t k = 0; k < std::size(in); ++k) {
    uint8_t three[3];
    const float x3[3] = {in[k], in[k], in[k]};
    ConvertElementSpan(three, x3, 3);
    alignas(16) float x64[64];
    alignas(16) uint8_t out64[64];
    for (float& x : x64) x = in[k];
    ConvertElementSpan(out64, x64, 64);
    for (uint8_t b : three) EXPECT_EQ(b, want[k]) << in[k];
    for (uint8_t b : out64) EXPECT_EQ(b, want[k]) << in[k];
  }
}

TEST(ElementSpan, FloatToShortClampsThenRoundsToEven) {
  std::vector<float> values;
  for (int k = -6; k <= 2 * 65540; ++k) values.push_back(k * 0.5f);  // every value and every tie
  for (float x : FloatProbes()) values.push_back(x);
  CheckAllValues<float, uint16_t>(values, kotest::RefFloatToShort);
  SweepSpans<float, uint16_t>(FloatProbes(), kotest::RefFloatToShort);

  const float in[] = {65534.5f, 70000.0f, -0.5f, 32767.5f, 1.0e10f, 65535.2f, kInf, -kInf, kNaN, 0.50000006f};
  const uint16_t want[] = {65534, 65535, 0, 32768, 65535, 65535, 65535, 0, 0, 1};
  alignas(16) float x[std::size(in) + 16] = {};
  for (size_t k = 0; k < std::size(in); ++k) x[k] = in[k];
  uint16_t out[std::size(in) + 16];
  ConvertElementSpan(out, x, std::size(x));
  for (size_t k = 0; k < std::size(in); ++k) EXPECT_EQ(out[k], want[k]) << in[k];
}

TEST(ElementSpan, IntegerPairs) {
  // byte -> 16-bit multiplies by 256; 16-bit -> byte rounds (v + 128) / 256 and saturates.
  const std::vector<uint8_t> bytes = AllBytes();
  std::vector<uint16_t> wide(256);
  ConvertElementSpan(wide.data(), bytes.data(), 256);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(wide[v], v * 256);
  EXPECT_EQ(wide[255], 65280);

  const std::vector<uint16_t> shorts = AllShorts();
  std::vector<uint8_t> narrow(65536);
  ConvertElementSpan(narrow.data(), shorts.data(), shorts.size());
  for (int v = 0; v < 65536; ++v) ASSERT_EQ(narrow[v], std::min(255, (v + 128) / 256)) << v;
  EXPECT_EQ(narrow[127], 0);
  EXPECT_EQ(narrow[128], 1);
  EXPECT_EQ(narrow[383], 1);
  EXPECT_EQ(narrow[384], 2);
  EXPECT_EQ(narrow[65407], 255);
  EXPECT_EQ(narrow[65408], 255);

  const int32_t ints[] = {16777217, -5, 16777216, -16777217, INT32_MAX, INT32_MIN, 3};
  const float wantInts[] = {16777216.0f, -5.0f, 16777216.0f, -16777216.0f, 2147483648.0f, -2147483648.0f, 3.0f};
  float f[std::size(ints)];
  ConvertElementSpan(f, ints, std::size(ints));
  for (size_t k = 0; k < std::size(ints); ++k) EXPECT_EQ(f[k], wantInts[k]) << ints[k];
}

TEST(ElementSpan, EqualTypesCopyTheBits) {
  const float in[] = {kNaN, -0.0f, BitsFloat(0x7F800001u), 1.25f, BitsFloat(1)};
  float out[std::size(in)];
  ConvertElementSpan(out, in, std::size(in));
  for (size_t k = 0; k < std::size(in); ++k) EXPECT_EQ(FloatBits(out[k]), FloatBits(in[k]));
  const uint16_t s[] = {1, 65535, 300};
  uint16_t d[3] = {};
  ConvertElementSpan(d, s, 3);
  EXPECT_EQ(std::vector<uint16_t>(d, d + 3), std::vector<uint16_t>(s, s + 3));
}

TEST(ElementSpan, CountZeroWritesNothing) {
  alignas(16) uint8_t src[64] = {1, 2, 3};
  alignas(16) uint8_t dst[64];
  std::memset(dst, 0xEE, sizeof dst);
  auto* s = src;
  auto* d = dst;
  ConvertElementSpan(d, s, 0);
  ConvertElementSpan(reinterpret_cast<float*>(d), s, 0);
  ConvertElementSpan(reinterpret_cast<uint16_t*>(d), s, 0);
  ConvertElementSpan(d, reinterpret_cast<const float*>(s), 0);
  ConvertElementSpan(reinterpret_cast<float*>(d), reinterpret_cast<const float*>(s), 0);
  ConvertElementSpan(reinterpret_cast<uint16_t*>(d), reinterpret_cast<const float*>(s), 0);
  ConvertElementSpan(reinterpret_cast<float*>(d), reinterpret_cast<const int32_t*>(s), 0);
  ConvertElementSpan(d, reinterpret_cast<const uint16_t*>(s), 0);
  ConvertElementSpan(reinterpret_cast<float*>(d), reinterpret_cast<const uint16_t*>(s), 0);
  ConvertElementSpan(reinterpret_cast<uint16_t*>(d), reinterpret_cast<const uint16_t*>(s), 0);
  for (uint8_t b : dst) ASSERT_EQ(b, 0xEE);
}

}  // namespace
