#include "ko/core/obj_factory.h"

#include <gtest/gtest.h>

#include "ko/core/img.h"
#include "ko/platform/memory.h"

using namespace ko;

TEST(ObjFactory, CreatesTheKnownClasses) {
  CObj* object = nullptr;
  ASSERT_EQ(CreateObjectFromClassId(CLSID_CObj, &object), S_OK);
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(IsEqualClassId(*object->GetClassId(), CLSID_CObj));
  EXPECT_EQ(object->refCount, 1);
  EXPECT_EQ(object->Release(), 0);

  ASSERT_EQ(CreateObjectFromClassId(CLSID_CImg, &object), S_OK);
  EXPECT_TRUE(IsEqualClassId(*object->GetClassId(), CLSID_CImg));
  auto* image = static_cast<CImg*>(object);
  EXPECT_FALSE(image->HasMemory());
  EXPECT_EQ(image->type, 0);
  EXPECT_EQ(object->Release(), 0);
}

TEST(ObjFactory, RefusesEverythingElse) {
  CObj* object = reinterpret_cast<CObj*>(0x1);
  EXPECT_EQ(CreateObjectFromClassId(CLSID_CParams, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  GUID nearly = CLSID_CImg;
  nearly.Data4[7] ^= 1;
  EXPECT_EQ(CreateObjectFromClassId(nearly, &object), E_NOINTERFACE);
  EXPECT_EQ(CreateObjectFromClassId(CLSID_CObj, nullptr), E_POINTER);
  {
    ScopedAllocFailure failure(0);
    EXPECT_EQ(CreateObjectFromClassId(CLSID_CImg, &object), E_OUTOFMEMORY);
  }
  EXPECT_EQ(object, nullptr);
}
