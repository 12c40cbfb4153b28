#include "ko/core/param_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "ko/core/params.h"

using namespace ko;

namespace {

CParamValue* U16(uint16_t v) {
  auto* p = new CParamValue;
  p->SetData(kParamUInt16, 2, &v);
  return p;
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
      const HRESULT hr = v.GetAs(static_cast<ParamKind>(want), out, 0, 1);
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

}  // namespace
