// A tagged value as platform property APIs deliver it: a 16-bit type code, then (8 bytes
// into the record) the payload. Only what the library reads is modelled.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ko/platform/guid.h"

namespace ko {

enum : uint16_t {
  VT_EMPTY = 0,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_BLOB = 65,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
};

struct PROPVARIANT {
  uint16_t vt;
  uint16_t reserved1;
  uint16_t reserved2;
  uint16_t reserved3;
  union {
    int8_t cVal;
    uint8_t bVal;
    int16_t iVal;
    uint16_t uiVal;
    int32_t lVal;
    uint32_t ulVal;
    int64_t hVal;
    uint64_t uhVal;
    float fltVal;
    double dblVal;
    int16_t boolVal;
    char* pszVal;
    char16_t* pwszVal;
    GUID* puuid;
    void* punkVal;  // a platform object (for example a nested metadata reader)
    struct {
      uint32_t cbSize;
      uint8_t* pBlobData;
    } blob;
    struct {
      uint32_t cElems;
      void* pElems;  // array of elements of the vector's base type
    } ca;
  };
};
static_assert(offsetof(PROPVARIANT, bVal) == 8);

}  // namespace ko
