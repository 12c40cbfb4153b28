#include <gtest/gtest.h>

#include <string>

#include "ko/platform/wide_format.h"

using namespace ko;

namespace {

std::u16string Fmt(size_t max, const char16_t* format, ...) {
  char16_t buf[512];
  va_list ap;
  va_start(ap, format);
  FormatWideV(buf, max, format, ap);
  va_end(ap);
  return buf;
}

TEST(WideFormat, PlatformStringConventions) {
  EXPECT_EQ(Fmt(100, u"%S|%s|%c|%C", "narrow", u"wide", u'w', 'n'), u"narrow|wide|w|n");
  EXPECT_EQ(Fmt(100, u"[%5s][%-4S][%.2s]", u"ab", "cd", u"xyz"), u"[   ab][cd  ][xy]");
}

TEST(WideFormat, NumbersFlagsAndLengths) {
  EXPECT_EQ(Fmt(100, u"%d %i %u %x %X %o", -5, 7, 4000000000u, 255, 255, 8), u"-5 7 4000000000 ff FF 10");
  EXPECT_EQ(Fmt(100, u"%05d|%-3d|%+d|%lld|%I64d|%zu", 42, 1, 3, -1LL << 40, 9LL, size_t{12}),
            u"00042|1  |+3|-1099511627776|9|12");
  EXPECT_EQ(Fmt(100, u"%.3f %e %%", 1.5, 250.0), u"1.500 2.500000e+02 %");
  EXPECT_EQ(Fmt(100, u"%*d", 4, 7), u"   7");
}

TEST(WideFormat, OutputIsBoundedAndTheFullLengthReported) {
  char16_t buf[8];
  EXPECT_EQ(FormatWide(buf, 5, u"%s-%d", u"abcdef", 12), 9);
  EXPECT_EQ(std::u16string(buf), u"abcde");
  EXPECT_EQ(FormatWide(buf, 7, u"%d", 123), 3);
  EXPECT_EQ(std::u16string(buf), u"123");
  EXPECT_EQ(FormatWide(buf, 0, u"x"), 1);
  EXPECT_EQ(buf[0], 0);
}

TEST(WideFormat, UnsupportedConversionsAreRefused) {
  char16_t buf[16];
  int n = 0;
  EXPECT_EQ(FormatWide(buf, 15, u"ab%n", &n), -1);
  EXPECT_EQ(FormatWide(buf, 15, u"ab%"), -1);
  EXPECT_EQ(FormatWide(buf, 15, nullptr), -1);
}

}  // namespace
