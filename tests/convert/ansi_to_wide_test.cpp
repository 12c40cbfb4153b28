#include "ko/convert/ansi_to_wide.h"

#include <gtest/gtest.h>

#include <string>

#include "ko/platform/memory.h"

namespace {

std::u16string Take(char16_t* s) {
  std::u16string r(s);
  delete[] s;
  return r;
}

TEST(AnsiToWide, ConvertsUtf8TextWithItsTerminator) {
  char16_t* out = nullptr;
  ASSERT_EQ(ko::AnsiToWide("", &out), ko::S_OK);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out[0], u'\0');
  delete[] out;

  ASSERT_EQ(ko::AnsiToWide("EXPOSURE=1.5 \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", &out), ko::S_OK);
  EXPECT_EQ(Take(out), u"EXPOSURE=1.5 \u00E9t\u00E9 \U0001F600");
}

TEST(AnsiToWide, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  char16_t* out = nullptr;
  ASSERT_EQ(ko::AnsiToWide("a\xFF" "b\xC3", &out), ko::S_OK);
  EXPECT_EQ(Take(out), u"a\uFFFDb\uFFFD");
}

TEST(AnsiToWide, RefusesNullArgumentsAndReportsAllocationFailure) {
  char16_t* out = reinterpret_cast<char16_t*>(0x1);
  EXPECT_EQ(ko::AnsiToWide(nullptr, &out), ko::E_INVALIDARG);
  EXPECT_EQ(out, reinterpret_cast<char16_t*>(0x1));
  EXPECT_EQ(ko::AnsiToWide("x", nullptr), ko::E_INVALIDARG);

  out = reinterpret_cast<char16_t*>(0x1);
  {
    ko::ScopedAllocFailure fail(0);
    EXPECT_EQ(ko::AnsiToWide("text", &out), ko::E_OUTOFMEMORY);
  }
  EXPECT_EQ(out, nullptr);
}

}  // namespace
