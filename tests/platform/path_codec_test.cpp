#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ko/platform/path_codec.h"

using namespace ko;

namespace {

TEST(PathCodec, ValidUtf8DecodesToUtf16) {
  EXPECT_EQ(DecodeNarrowPath("abc/d.png"), u"abc/d.png");
  EXPECT_EQ(DecodeNarrowPath("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(DecodeNarrowPath("\xE2\x82\xAC"), u"\u20AC");
  EXPECT_EQ(DecodeNarrowPath("\xF0\x9F\x98\x80"), u"\U0001F600");
}

TEST(PathCodec, InvalidBytesBecomeEscapesThatRoundTrip) {
  const std::string bad = "x\xFF" "y\xC3" "\xED\xA0\x80" "\xC0\xAF" "\xF4\x90\x80\x80";
  const std::u16string wide = DecodeNarrowPath(bad.c_str());
  EXPECT_EQ(wide[1], 0xDCFF);
  EXPECT_EQ(wide[3], 0xDCC3);
  EXPECT_EQ(EncodeWidePath(wide), bad);
}

TEST(PathCodec, RandomByteStringsRoundTripExactly) {
  std::mt19937 rng(11);
  for (int i = 0; i < 20000; ++i) {
    std::string s(rng() % 12 + 1, '\0');
    for (auto& c : s) {
      c = static_cast<char>(rng() % 255 + 1);  // no NUL inside a path
    }
    ASSERT_EQ(EncodeWidePath(DecodeNarrowPath(s.c_str())), s) << i;
  }
}

}  // namespace
