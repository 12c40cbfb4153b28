#include "ko/convert/srgb_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SrgbTable, EncodeEntries) {
  std::vector<uint16_t> t16(65536);
  ASSERT_EQ(ko::BuildSrgbTable16(t16.data(), ko::kSrgbEncode), t16.data());
  EXPECT_EQ(t16[0], 0);
  EXPECT_EQ(t16[1], 13);
  EXPECT_EQ(t16[205], 2649);  // the last entry of the linear segment
  EXPECT_EQ(t16[206], 2661);
  EXPECT_EQ(t16[1000], 8498);
  EXPECT_EQ(t16[32768], 48192);
  EXPECT_EQ(t16[65534], 65535);
  EXPECT_EQ(t16[65535], 65535);
  for (size_t i = 1; i < t16.size(); ++i) ASSERT_LE(t16[i - 1], t16[i]) << i;

  std::vector<uint8_t> t8(65536);
  ASSERT_EQ(ko::BuildSrgbTable8(t8.data(), ko::kSrgbEncode), t8.data());
  EXPECT_EQ(t8[0], 0);
  EXPECT_EQ(t8[32768], 188);
  EXPECT_EQ(t8[65535], 255);
  for (size_t i = 1; i < t8.size(); ++i) ASSERT_LE(t8[i - 1], t8[i]) << i;
}

TEST(SrgbTable, DecodeEntries) {
  std::vector<uint16_t> t16(65536);
  ko::BuildSrgbTable16(t16.data(), ko::kSrgbDecode);
  EXPECT_EQ(t16[0], 0);
  EXPECT_EQ(t16[1000], 77);
  EXPECT_EQ(t16[32768], 14028);
  EXPECT_EQ(t16[65535], 65535);
  // The linear segment runs up to entry 2650: i / 12.92 there, the power curve after it.
  EXPECT_EQ(t16[2650], 205);
  for (size_t i = 1; i < t16.size(); ++i) ASSERT_LE(t16[i - 1], t16[i]) << i;

  std::vector<uint8_t> t8(65536);
  ko::BuildSrgbTable8(t8.data(), ko::kSrgbDecode);
  EXPECT_EQ(t8[32768], 55);
  EXPECT_EQ(t8[65535], 255);
}

TEST(SrgbTable, UnknownModeLeavesTheTable) {
  std::vector<uint16_t> t16(65536, 0x1234);
  std::vector<uint8_t> t8(65536, 0x56);
  ko::BuildSrgbTable16(t16.data(), 2);
  ko::BuildSrgbTable8(t8.data(), -1);
  for (uint16_t v : t16) ASSERT_EQ(v, 0x1234);
  for (uint8_t v : t8) ASSERT_EQ(v, 0x56);
  EXPECT_EQ(ko::BuildSrgbTable16(nullptr, 0), nullptr);
}

}  // namespace
