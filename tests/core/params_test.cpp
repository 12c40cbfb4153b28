#include "ko/core/params.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ko/platform/memory.h"

using namespace ko;

namespace {

CParamValue* U16(uint16_t v) {
  auto* p = new CParamValue;
  p->SetData(kParamUInt16, 2, &v);
  return p;
}

TEST(ParamsKeys, NamesAreCheckedAndGroupsKeepEntriesApart) {
  CParams set;
  CParamValue v;
  v.SetString("1.5");
  EXPECT_EQ(set.SetByName(u"has blank", 0, v), E_KO_BADFORMAT);
  EXPECT_EQ(set.entryCount, 0);
  EXPECT_EQ(set.SetByName(u"Key_1.v-2*", 0, v), S_OK);
  EXPECT_EQ(set.SetByName(nullptr, 0, v), E_INVALIDARG);

  CParamValue w;
  w.SetString("second");
  EXPECT_EQ(set.SetByName(u"Key_1.v-2*", 0, w), S_OK);
  EXPECT_EQ(set.entryCount, 1);
  const CParamValue* got = nullptr;
  ASSERT_EQ(set.GetByName(&got, u"Key_1.v-2*", 0), S_OK);
  EXPECT_STREQ(static_cast<const char*>(got->data), "second");
  EXPECT_EQ(set.SetByName(u"Key_1.v-2*", 1, v), S_OK);
  EXPECT_EQ(set.entryCount, 2);
  EXPECT_EQ(set.GetByName(&got, u"key_1.v-2*", 0), S_FALSE);  // case-sensitive
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(set.Get(nullptr, u"x", -1, 0), E_POINTER);
}

TEST(ParamsKeys, NumberedAndNamedEntriesInOneBucketAreToldApart) {
  CParams set;
  // Find an id whose bucket equals that of the name "A" in group 0.
  const int bucket = CParams::BucketOf(u"A", -1, 0);
  int32_t id = 0;
  while (CParams::BucketOf(nullptr, id, 0) != bucket) ++id;
  std::unique_ptr<CParamValue> a(U16(1)), b(U16(2));
  ASSERT_EQ(set.SetByName(u"A", 0, *a), S_OK);
  ASSERT_EQ(set.SetById(id, 0, *b), S_OK);
  const CParamValue* got = nullptr;
  ASSERT_EQ(set.GetById(&got, id, 0), S_OK);
  EXPECT_EQ(*static_cast<uint16_t*>(got->data), 2);
  ASSERT_EQ(set.GetByName(&got, u"A", 0), S_OK);
  EXPECT_EQ(*static_cast<uint16_t*>(got->data), 1);
  // The numbered entry with id -1 is not the named one.
  EXPECT_EQ(set.GetById(&got, -1, 0), S_FALSE);
}

TEST(ParamsKeys, HashFollowsTheStatedFormula) {
  // h = (group + 2) mod 11, then h = (17h + c) mod 11 per unit.
  uint32_t h = (5u + 2u) % 11u;
  for (char16_t c : std::u16string(u"Tag")) h = (17u * h + c) % 11u;
  EXPECT_EQ(CParams::BucketOf(u"Tag", -1, 5), static_cast<int>(h));
  const uint32_t g = static_cast<uint32_t>(-3);
  EXPECT_EQ(CParams::BucketOf(nullptr, -9, -3), static_cast<int>((17u * ((g + 2u) % 11u) + static_cast<uint32_t>(-9)) % 11u));
}

TEST(ParamsSet, RemoveClearAndMergeKeepListAndBucketsConsistent) {
  CParams set;
  std::unique_ptr<CParamValue> v(U16(9));
  for (int i = 0; i < 40; ++i) ASSERT_EQ(set.SetById(i, i % 3, *v), S_OK);
  EXPECT_EQ(set.entryCount, 40);
  CParamEntry* e = set.Find(nullptr, 17, 17 % 3);
  ASSERT_NE(e, nullptr);
  set.Remove(e);
  EXPECT_EQ(set.Find(nullptr, 17, 17 % 3), nullptr);
  EXPECT_EQ(set.entryCount, 39);
  int listed = 0;
  for (CParamEntry* p = set.Oldest(); p; p = p->newer) ++listed;
  EXPECT_EQ(listed, 39);
  EXPECT_EQ(set.Oldest()->id, 0);

  CParams target;
  std::unique_ptr<CParamValue> old(U16(1)), mine(U16(5));
  target.SetById(1, 1, *old);      // key also in source: replaced
  target.SetById(1000, 0, *mine);  // only here: kept
  ASSERT_EQ(target.Merge(&set), S_OK);
  const CParamValue* got = nullptr;
  ASSERT_EQ(target.GetById(&got, 1, 1), S_OK);
  EXPECT_EQ(*static_cast<uint16_t*>(got->data), 9);
  ASSERT_EQ(target.GetById(&got, 1000, 0), S_OK);
  EXPECT_EQ(*static_cast<uint16_t*>(got->data), 5);
  EXPECT_EQ(target.entryCount, 40);
  EXPECT_EQ(target.Merge(&target), S_OK);
  EXPECT_EQ(target.Merge(nullptr), S_OK);
  set.Clear();
  EXPECT_EQ(set.entryCount, 0);
  EXPECT_EQ(set.newest, nullptr);
}

TEST(ParamsSet, AllocationFailureStoresNothing) {
  CParams set;
  std::unique_ptr<CParamValue> v(U16(3));
  for (int failAt = 0; failAt < 3; ++failAt) {
    {
      ScopedAllocFailure fail(failAt);
      EXPECT_EQ(set.SetByName(u"Name", 0, *v), E_OUTOFMEMORY) << failAt;
    }
    EXPECT_EQ(set.entryCount, 0);
  }
}

}  // namespace
