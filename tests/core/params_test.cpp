#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "ko/core/params.h"
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

// Kinds that GetAs accepts for each requested kind, written independently of the code.
const std::map<int, std::set<int>> kAccepted = {
    {1, {1}},          {3, {1, 3}},        {4, {1, 3, 4}},          {5, {5, 15}},
    {6, {6}},          {8, {6, 8}},        {9, {6, 8, 9}},          {10, {10, 16}},
    {11, {1, 3, 6, 8, 11}}, {12, {1, 3, 4, 6, 8, 9, 11, 12}},        {13, {13}},
    {15, {1, 3, 4, 15}},    {16, {6, 8, 9, 16}},                     {17, {17}},
};

TEST(ParamsGetAs, EveryRowOfTheConversionTable) {
  for (int stored = 1; stored <= 17; ++stored) {
    if (stored == 2 || stored == 14) continue;
    CParamValue v;
    uint8_t bytes[32];
    std::memset(bytes, 0, sizeof bytes);
    bytes[0] = 0x81;  // -127 as a signed byte; high bit set in every width
    const uint32_t size = ParamElementSize(stored);
    ASSERT_EQ(v.SetData(stored, size, bytes), S_OK);
    for (int want = 1; want <= 18; ++want) {
      uint8_t out[32];
      std::memset(out, 0xEE, sizeof out);
      const HRESULT hr = v.GetAs(want, out, 0, 1);
      const auto row = kAccepted.find(want);
      const bool ok = row != kAccepted.end() && row->second.count(stored);
      EXPECT_EQ(hr, ok ? S_OK : S_FALSE) << "stored " << stored << " want " << want;
      if (!ok) {
        EXPECT_EQ(out[0], 0xEE);
      }
    }
  }
}

TEST(ParamsGetAs, WideningIsByValue) {
  CParamValue u;
  const uint16_t big = 65535;
  u.SetData(kParamUInt16, 2, &big);
  int32_t i32 = 0;
  EXPECT_EQ(u.GetAs(kParamInt32, &i32, 0, 1), S_FALSE);
  uint32_t u32 = 0;
  EXPECT_EQ(u.GetAs(kParamUInt32, &u32, 0, 1), S_OK);
  EXPECT_EQ(u32, 65535u);
  double d = 0;
  EXPECT_EQ(u.GetAs(kParamDouble, &d, 0, 1), S_OK);
  EXPECT_EQ(d, 65535.0);

  CParamValue s;
  const int8_t minus = -1;
  s.SetData(kParamInt8, 1, &minus);
  int64_t i64 = 0;
  EXPECT_EQ(s.GetAs(kParamInt64, &i64, 0, 1), S_OK);
  EXPECT_EQ(i64, -1);
  uint64_t u64 = 0;
  EXPECT_EQ(s.GetAs(kParamUInt64, &u64, 0, 1), S_FALSE);
  float f = 0;
  EXPECT_EQ(s.GetAs(kParamFloat, &f, 0, 1), S_OK);
  EXPECT_EQ(f, -1.0f);

  CParamValue four;
  const uint32_t values[4] = {1, 2, 3, 4};
  four.SetUInt32s(values, 4);
  uint32_t two[2];
  EXPECT_EQ(four.GetAs(kParamUInt32, two, 3, 2), E_INVALIDARG);
  EXPECT_EQ(four.GetAs(kParamUInt32, two, 2, 2), S_OK);
  EXPECT_EQ(two[1], 4u);
  CParamValue rational;
  const uint64_t packed = (uint64_t{3} << 32) | 7;  // numerator 7, denominator 3
  rational.SetUInt64s(&packed, 1);
  uint32_t pair[2];
  EXPECT_EQ(rational.GetAs(kParamRational, pair, 0, 1), S_OK);
  EXPECT_EQ(pair[0], 7u);
  EXPECT_EQ(pair[1], 3u);
}

TEST(ParamsValue, VariantsMapToKinds) {
  CParamValue v;
  PROPVARIANT p{};
  p.vt = VT_UI2;
  p.uiVal = 513;
  ASSERT_EQ(v.SetFromVariant(p), S_OK);
  EXPECT_EQ(v.kind, kParamUInt16);
  EXPECT_EQ(*static_cast<uint16_t*>(v.data), 513);
  p.vt = VT_BOOL;
  p.boolVal = -1;
  ASSERT_EQ(v.SetFromVariant(p), S_OK);
  EXPECT_EQ(v.kind, kParamBool);
  EXPECT_EQ(*static_cast<uint8_t*>(v.data), 1);
  char text[] = "abc";
  p.vt = VT_LPSTR;
  p.pszVal = text;
  ASSERT_EQ(v.SetFromVariant(p), S_OK);
  EXPECT_EQ(v.byteLength, 4u);
  uint32_t elems[3] = {5, 6, 7};
  p.vt = VT_VECTOR | VT_UI4;
  p.ca.cElems = 3;
  p.ca.pElems = elems;
  ASSERT_EQ(v.SetFromVariant(p), S_OK);
  EXPECT_EQ(v.kind, kParamUInt32);
  EXPECT_EQ(v.ElementCount(), 3u);
  p.vt = VT_UNKNOWN;
  EXPECT_EQ(v.SetFromVariant(p), S_FALSE);
  EXPECT_EQ(v.kind, kParamEmpty);
}

TEST(ParamsValue, NestedSetsAreDeepCopies) {
  CParams inner[2];
  std::unique_ptr<CParamValue> v(U16(4));
  inner[0].SetById(256, 0, *v);
  inner[1].SetByName(u"Make", 0, *v);
  CParamValue nested;
  ASSERT_EQ(nested.SetNested(inner, 2), S_OK);
  EXPECT_EQ(nested.ElementCount(), 2u);
  inner[0].Clear();
  const CParamValue* got = nullptr;
  EXPECT_EQ(nested.NestedSets()[0].GetById(&got, 256, 0), S_OK);
  CParamValue copy;
  ASSERT_EQ(copy.CopyFrom(nested), S_OK);
  EXPECT_EQ(copy.NestedSets()[1].GetByName(&got, u"Make", 0), S_OK);
  EXPECT_NE(copy.data, nested.data);
}

TEST(ParamsPersistence, RoundTripOfEveryKindAndTruncatedStreams) {
  CParams set;
  CParamValue v;
  v.SetWString(u"wide");
  set.SetByName(u"W", 3, v);
  const double ds[2] = {1.5, -2.25};
  v.SetDoubles(ds, 2);
  set.SetById(42, 0, v);
  CParamValue empty;
  set.SetById(7, 1, empty);
  CParams inner;
  inner.SetById(1, 0, v);
  v.SetNested(&inner, 1);
  set.SetByName(u"Sub", 0, v);

  CMemoryStream s;
  ASSERT_EQ(set.Save(&s), S_OK);
  const std::vector<uint8_t> bytes = s.Bytes();
  EXPECT_EQ(bytes[0], 4);  // entry count
  s.Rewind();
  CParams back;
  ASSERT_EQ(back.Load(&s), S_OK);
  EXPECT_EQ(back.entryCount, 4);
  const CParamValue* got = nullptr;
  ASSERT_EQ(back.GetById(&got, 42, 0), S_OK);
  EXPECT_EQ(static_cast<const double*>(got->data)[1], -2.25);
  ASSERT_EQ(back.GetByName(&got, u"W", 3), S_OK);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(got->data)), u"wide");
  ASSERT_EQ(back.GetByName(&got, u"Sub", 0), S_OK);
  ASSERT_EQ(got->ElementCount(), 1u);
  EXPECT_EQ(got->NestedSets()[0].entryCount, 1);
  // The oldest entry comes first in the stream: a named entry's id -1, then its name.
  EXPECT_EQ(bytes[4], 0xFF);
  EXPECT_EQ(bytes[8], 2);  // "W" and its terminator

  for (size_t cut = 0; cut < bytes.size(); cut += 3) {
    CMemoryStream shortStream(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
    CParams partial;
    EXPECT_EQ(partial.Load(&shortStream), E_FAIL) << cut;
  }
  // A claimed length far beyond the stream fails without allocating it.
  std::vector<uint8_t> huge = {1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xF0};
  CMemoryStream hostile(huge);
  CParams victim;
  EXPECT_EQ(victim.Load(&hostile), E_FAIL);
}

}  // namespace
