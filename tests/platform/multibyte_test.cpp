#include "ko/platform/multibyte.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "ko/platform/path_codec.h"

namespace {

using ko::MultiByteToWideChar;

// Converts with the size query first, as callers do; a failure gives "<error N>".
std::u16string Convert(const std::string& bytes, uint32_t flags = 0) {
  const int n = MultiByteToWideChar(ko::CP_ACP, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n == 0) return u"<error " + std::u16string(1, static_cast<char16_t>(u'0' + ko::GetLastError() % 10)) + u">";
  std::u16string out(static_cast<size_t>(n), u'?');
  EXPECT_EQ(MultiByteToWideChar(ko::CP_ACP, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n), n);
  return out;
}

TEST(MultiByteToWideChar, DecodesUtf8IntoUtf16) {
  EXPECT_EQ(Convert("plain ASCII"), u"plain ASCII");
  EXPECT_EQ(Convert("\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xEF\xBF\xBF \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"),
            u"\u0080 \u07FF \u0800 \uFFFF \U00010000 \U0010FFFF");
  EXPECT_EQ(Convert(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));  // a count includes NULs
}

TEST(MultiByteToWideChar, ReplacesEachMaximalBadPartWithOneReplacementCharacter) {
  // The standard example of U+FFFD substitution: truncated sequences count once, stray
  // continuation bytes and impossible leads once each.
  EXPECT_EQ(Convert("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
            u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd");
  EXPECT_EQ(Convert("\xC0\xAF"), u"\uFFFD\uFFFD");              // overlong
  EXPECT_EQ(Convert("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");    // overlong, three bytes
  EXPECT_EQ(Convert("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");    // an encoded surrogate
  EXPECT_EQ(Convert("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Convert("\xF5\xFF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Convert("x\xE2\x82"), u"x\uFFFD");  // cut at the end of the count
}

TEST(MultiByteToWideChar, StrictModeAndParameterErrors) {
  char16_t buf[8];
  EXPECT_EQ(MultiByteToWideChar(ko::CP_UTF8, ko::MB_ERR_INVALID_CHARS, "ok\xFF", -1, buf, 8), 0);
  EXPECT_EQ(ko::GetLastError(), ko::ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(MultiByteToWideChar(ko::CP_UTF8, ko::MB_ERR_INVALID_CHARS, "ok", -1, buf, 8), 3);

  EXPECT_EQ(MultiByteToWideChar(ko::CP_ACP, 0, "abcdef", -1, buf, 6), 0);  // 7 units needed
  EXPECT_EQ(ko::GetLastError(), ko::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(ko::CP_ACP, 0, "abcdef", -1, buf, 7), 7);
  EXPECT_EQ(std::u16string(buf), u"abcdef");

  struct Bad {
    uint32_t cp, flags;
    const char* text;
    int count;
    char16_t* out;
    int outCount;
    uint32_t error;
  } bad[] = {{ko::CP_ACP, 0, nullptr, -1, nullptr, 0, ko::ERROR_INVALID_PARAMETER},
             {ko::CP_ACP, 0, "a", 0, nullptr, 0, ko::ERROR_INVALID_PARAMETER},
             {ko::CP_ACP, 0, "a", -2, nullptr, 0, ko::ERROR_INVALID_PARAMETER},
             {ko::CP_ACP, 0, "a", -1, nullptr, 4, ko::ERROR_INVALID_PARAMETER},
             {ko::CP_ACP, 0, "a", -1, buf, -1, ko::ERROR_INVALID_PARAMETER},
             {1252, 0, "a", -1, nullptr, 0, ko::ERROR_INVALID_PARAMETER},
             {ko::CP_ACP, 0x1, "a", -1, nullptr, 0, ko::ERROR_INVALID_FLAGS}};
  for (const Bad& b : bad) {
    ko::SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(b.cp, b.flags, b.text, b.count, b.out, b.outCount), 0);
    EXPECT_EQ(ko::GetLastError(), b.error);
  }
}

// A string whose terminator is the last byte before an inaccessible page: any read past it
// faults.
TEST(MultiByteToWideChar, NeverReadsPastTheTerminator) {
  const long page = sysconf(_SC_PAGESIZE);
  void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(mem) + page, page, PROT_NONE), 0);
  char* end = static_cast<char*>(mem) + page;
  for (const char* text : {"\xF0", "\xF0\x9F", "\xF0\x9F\x98", "\xE2\x82", "\xC3", "ab\xF4\x8F", ""}) {
    const size_t n = std::strlen(text) + 1;
    char* s = end - n;
    std::memcpy(s, text, n);
    char16_t out[8];
    const int units = MultiByteToWideChar(ko::CP_ACP, 0, s, -1, out, 8);
    ASSERT_GT(units, 0);
    EXPECT_EQ(out[units - 1], u'\0');  // the bad tail became U+FFFD and the NUL was kept
  }
  munmap(mem, 2 * page);
}

// Path decoding shares the decoding step but escapes bad bytes one by one: it agrees with
// the converter on well-formed text and gives every byte string back unchanged.
TEST(MultiByteToWideChar, PathDecodingKeepsItsOwnPolicy) {
  std::mt19937 rng(11);
  const unsigned char pick[] = {0x00, 0x41, 0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0,
                                0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x8F, 0x90};
  for (int k = 0; k < 20000; ++k) {
    std::string s;
    const int len = 1 + static_cast<int>(rng() % 9);
    for (int j = 0; j < len; ++j)
      s.push_back(static_cast<char>(rng() % 2 ? pick[rng() % sizeof pick] : static_cast<unsigned char>(rng())));
    const std::u16string path = ko::DecodeNarrowPath(s.data(), s.size());
    ASSERT_EQ(ko::EncodeWidePath(path), s.c_str()) << k;  // up to an embedded NUL
    const bool wellFormed = MultiByteToWideChar(ko::CP_UTF8, ko::MB_ERR_INVALID_CHARS, s.data(),
                                                static_cast<int>(s.size()), nullptr, 0) != 0;
    if (wellFormed) {
      EXPECT_EQ(path, Convert(s)) << k;
    } else {
      EXPECT_NE(path, Convert(s)) << k;  // escapes where the converter has U+FFFD
    }
  }
  EXPECT_EQ(ko::DecodeNarrowPath("\xE2\x82" "A"), u"\xDCE2\xDC82" "A");
}

}  // namespace
