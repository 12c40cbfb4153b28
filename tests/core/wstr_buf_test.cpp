#include <gtest/gtest.h>

#include <string>

#include "ko/core/wstr_buf.h"
#include "ko/platform/memory.h"

using namespace ko;

namespace {

TEST(WStrBuf, NewBufferIsEmptyWithSixteenInlineCharacters) {
  CWStrBuf b;
  EXPECT_EQ(b.Capacity(), 16u);
  EXPECT_EQ(std::u16string(b.GetText()), u"");
  EXPECT_EQ(b.inlineText[16], 0);
}

TEST(WStrBuf, FormatCutsToCapacityMinusOne) {
  const std::string twenty(20, 'p');
  CWStrBuf b;
  EXPECT_EQ(b.Format(u"%S", twenty.c_str()), E_KO_BUFFERTOOSMALL);
  EXPECT_EQ(std::u16string(b.GetText()), std::u16string(15, u'p'));
  ASSERT_EQ(b.Reserve(120), S_OK);
  EXPECT_EQ(b.Format(u"%S", twenty.c_str()), S_OK);
  EXPECT_EQ(std::u16string(b.GetText()), std::u16string(20, u'p'));
  const std::string long130(130, 'q');
  EXPECT_EQ(b.Format(u"%S", long130.c_str()), E_KO_BUFFERTOOSMALL);
  EXPECT_EQ(std::u16string(b.GetText()).size(), 119u);
  EXPECT_EQ(b.Format(u"frame%03d.dat", 7), S_OK);
  EXPECT_EQ(std::u16string(b.GetText()), u"frame007.dat");
}

TEST(WStrBuf, ReserveKeepsTheTextAndNeverShrinks) {
  CWStrBuf b;
  b.Format(u"%s", u"abc");
  ASSERT_EQ(b.Reserve(40), S_OK);
  EXPECT_EQ(std::u16string(b.GetText()), u"abc");
  ASSERT_EQ(b.Reserve(100), S_OK);
  EXPECT_EQ(std::u16string(b.GetText()), u"abc");
  EXPECT_EQ(b.Reserve(10), S_OK);
  EXPECT_EQ(b.Capacity(), 100u);
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(b.Reserve(1000), E_OUTOFMEMORY);
  }
  EXPECT_EQ(b.Capacity(), 100u);
  EXPECT_EQ(std::u16string(b.GetText()), u"abc");
}

TEST(WStrBuf, CopyAtGrowsAndKeepsThePrefix) {
  const std::u16string forty(40, u'f');
  CWStrBuf b;
  ASSERT_EQ(b.CopyAt(forty.c_str(), 0), S_OK);
  EXPECT_EQ(b.Capacity(), 40u);
  EXPECT_EQ(std::u16string(b.GetText()), forty);

  CWStrBuf c;
  c.CopyAt(u"xyz", 0);
  ASSERT_EQ(c.CopyAt(u"abc", 3, 2), S_OK);
  EXPECT_EQ(std::u16string(c.GetText()), u"xyabc");
  ASSERT_EQ(c.CopyAt(u"Q", 5, 1), S_OK);  // the text ends before `length`
  EXPECT_EQ(std::u16string(c.GetText()), u"xQ");
  ASSERT_EQ(c.CopyAt(nullptr, 0), S_OK);
  EXPECT_EQ(std::u16string(c.GetText()), u"");
}

TEST(WStrBuf, SharedBlocksAreCopiedBeforeWriting) {
  CWStrBuf a;
  const std::u16string long30(30, u'L');
  a.CopyAt(long30.c_str(), 0);
  CWStrBuf b(a);
  EXPECT_EQ(b.GetText(), a.GetText());
  ASSERT_EQ(b.Format(u"%d", 12345), S_OK);
  EXPECT_EQ(std::u16string(b.GetText()), u"12345");
  EXPECT_EQ(std::u16string(a.GetText()), long30);

  CWStrBuf c(a);
  ASSERT_EQ(c.CopyAt(u"tail", 4, 10), S_OK);
  EXPECT_EQ(std::u16string(c.GetText()), u"LLLLLLLLLLtail");
  EXPECT_EQ(std::u16string(a.GetText()), long30);
  CWStrBuf d(a);
  ASSERT_EQ(d.CopyAt(u"ab", 2, 3), S_OK);  // small enough for the inline buffer
  EXPECT_EQ(std::u16string(d.GetText()), u"LLLab");
  EXPECT_EQ(d.shared, nullptr);
}

}  // namespace
