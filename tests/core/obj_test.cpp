#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ko/core/obj.h"
#include "ko/platform/memory.h"

using namespace ko;

namespace {

std::u16string Name(const CObj& o) { return o.name ? std::u16string(o.name) : std::u16string(); }

TEST(ObjRecord, SaveWritesTypeAndNameAsFiftyTwoLittleEndianBytes) {
  CObj o;
  o.type = 0x01020304;
  ASSERT_EQ(o.SetName(u"Ab"), S_OK);
  CMemoryStream s;
  ASSERT_EQ(o.Save(&s), S_OK);
  const auto& b = s.Bytes();
  ASSERT_EQ(b.size(), 52u);
  EXPECT_EQ(b[0], 0x04);
  EXPECT_EQ(b[3], 0x01);
  EXPECT_EQ(b[4], 'A');
  EXPECT_EQ(b[5], 0);
  EXPECT_EQ(b[6], 'b');
  for (size_t i = 8; i < 52; ++i) EXPECT_EQ(b[i], 0) << i;

  CObj unnamed;
  CMemoryStream s2;
  ASSERT_EQ(unnamed.Save(&s2), S_OK);
  ASSERT_EQ(s2.Bytes().size(), 52u);
  for (size_t i = 4; i < 52; ++i) EXPECT_EQ(s2.Bytes()[i], 0);
}

TEST(ObjRecord, LoadRestoresTypeAndNameAndRejectsShortStreams) {
  CObj o;
  o.type = -7;
  o.SetName(u"a name");
  CMemoryStream s;
  o.Save(&s);
  s.Rewind();
  CObj back;
  ASSERT_EQ(back.Load(&s), S_OK);
  EXPECT_EQ(back.type, -7);
  EXPECT_EQ(Name(back), u"a name");

  // A stored empty name gives an allocated empty name, not a null one.
  CObj empty;
  CMemoryStream e;
  empty.Save(&e);
  e.Rewind();
  CObj loaded;
  ASSERT_EQ(loaded.Load(&e), S_OK);
  ASSERT_NE(loaded.name, nullptr);
  EXPECT_EQ(loaded.name[0], 0);

  std::vector<uint8_t> bytes = s.Bytes();
  bytes.pop_back();
  CMemoryStream shortStream(bytes);
  CObj untouched;
  untouched.type = 5;
  EXPECT_EQ(untouched.Load(&shortStream), E_KO_READ);
  EXPECT_EQ(untouched.type, 5);
  EXPECT_EQ(untouched.name, nullptr);

  CMemoryStream nothing;
  EXPECT_EQ(untouched.Load(&nothing), E_KO_READ);

  CMemoryStream failing(bytes);
  failing.FailReadsWith(E_ACCESSDENIED);
  EXPECT_EQ(untouched.Load(&failing), E_ACCESSDENIED);
  EXPECT_EQ(untouched.Load(nullptr), E_POINTER);
  EXPECT_EQ(untouched.Save(nullptr), E_POINTER);
}

TEST(ObjRecord, LoadOfAnUnterminatedNameKeepsTwentyThreeCharacters) {
  std::vector<uint8_t> bytes(52, 0);
  for (int i = 0; i < 24; ++i) bytes[4 + 2 * i] = 'x';
  CMemoryStream s(bytes);
  CObj o;
  ASSERT_EQ(o.Load(&s), S_OK);
  EXPECT_EQ(Name(o), std::u16string(23, u'x'));
}

TEST(ObjRecord, SaveReportsStreamFailuresAndTurnsPositiveCodesIntoOk) {
  CObj o;
  CMemoryStream positive;
  positive.SetWriteSuccessCode(S_FALSE);
  EXPECT_EQ(o.Save(&positive), S_OK);
  CMemoryStream full;
  full.LimitSize(10);
  EXPECT_EQ(o.Save(&full), E_FAIL);
}

TEST(ObjName, LongNamesAreCutToTwentyThreeCharactersAndNullFreesTheName) {
  CObj o;
  const std::u16string thirty(30, u'n');
  ASSERT_EQ(o.SetName(thirty.c_str()), S_OK);
  EXPECT_EQ(Name(o), std::u16string(23, u'n'));
  ASSERT_EQ(o.SetName(o.name + 20), S_OK);  // its own buffer as the source
  EXPECT_EQ(Name(o), u"nnn");
  ASSERT_EQ(o.SetName(nullptr), S_OK);
  EXPECT_EQ(o.name, nullptr);
}

TEST(ObjName, AllocationFailureKeepsTheOldStateAndRecordsTheError) {
  CObj o;
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(o.SetName(u"x"), E_OUTOFMEMORY);
  }
  EXPECT_EQ(o.lastError, E_OUTOFMEMORY);
  EXPECT_EQ(o.name, nullptr);
}

struct Counted : CObj {
  explicit Counted(int* destroyed) : destroyed_(destroyed) {}
  ~Counted() override { ++*destroyed_; }
  int* destroyed_;
};

TEST(ObjLifetime, ReleaseDestroysAtZero) {
  int destroyed = 0;
  auto* o = new Counted(&destroyed);
  EXPECT_EQ(o->refCount, 1);
  EXPECT_EQ(o->AddRef(), 2);
  EXPECT_EQ(o->Release(), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(o->Release(), 0);
  EXPECT_EQ(destroyed, 1);
}

TEST(ObjClassIds, IdentifiersCompareByteForByte) {
  CObj o;
  EXPECT_EQ(IsEqualClassId(*o.GetClassId(), CLSID_CObj), 1);
  EXPECT_EQ(IsEqualClassId(CLSID_CObj, CLSID_CImg), 0);
  uint8_t bytes[16];
  GuidToBytes(CLSID_CImg, bytes);
  // {4D2D796C-...} is stored with its first field little-endian.
  EXPECT_EQ(bytes[0], 0x6C);
  EXPECT_EQ(bytes[3], 0x4D);
  EXPECT_EQ(bytes[8], 0xBF);
  EXPECT_EQ(IsEqualGuid(GuidFromBytes(bytes), CLSID_CImg), 1);
  EXPECT_EQ(o.ReservedOp(42), S_OK);
  SHeaderBlob blob{7, &blob};
  o.GetHeaderBlob(&blob);
  EXPECT_EQ(blob.byteCount, 0u);
  EXPECT_EQ(blob.data, nullptr);
}

TEST(ResultCodes, PlatformErrorsBecomeResultCodes) {
  EXPECT_EQ(HResultFromPlatformError(5), E_ACCESSDENIED);
  EXPECT_EQ(HResultFromPlatformError(0x1234567), MakeCode(0x80074567u));
  EXPECT_EQ(HResultFromPlatformError(0), 0);
  EXPECT_EQ(HResultFromPlatformError(E_FAIL), E_FAIL);
}

}  // namespace
