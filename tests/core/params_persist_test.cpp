#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ko/core/params.h"

using namespace ko;

namespace {

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
