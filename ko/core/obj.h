// The base of the library's stored objects: last error, reference count, short name,
// type word and the fixed 52-byte persistent record.
#pragma once
#include <cstdint>

#include "ko/platform/guid.h"
#include "ko/platform/hresult.h"
#include "ko/platform/sequential_stream.h"

namespace ko {

extern const GUID CLSID_CObj;    // {E9BCBD81-EC94-4FA9-B3FF-468761CE253E}
extern const GUID CLSID_CImg;    // {4D2D796C-A521-49A0-BF63-3578DBA6189D}
extern const GUID CLSID_CParams; // {303545C0-ECB9-45D6-8318-84737863F71B}

// 1 for equal identifiers, 0 otherwise.
inline int IsEqualClassId(const GUID& a, const GUID& b) { return IsEqualGuid(a, b); }

class CErrorBase {
 public:
  HRESULT lastError = 0;
};

// A copy of an object's fixed header; the caller frees `data` with KoFree.
struct SHeaderBlob {
  uint32_t byteCount;
  void* data;
};

constexpr int kObjNameUnits = 24;  // 23 characters and a terminator
constexpr uint32_t kObjRecordBytes = 52;

class CObj : public CErrorBase {
 public:
  CObj() = default;
  virtual ~CObj();
  CObj(const CObj&) = delete;
  CObj& operator=(const CObj&) = delete;

  virtual const GUID* GetClassId() const;
  virtual void GetHeaderBlob(SHeaderBlob* out) const;
  virtual HRESULT Load(ISequentialStream* stream);
  virtual HRESULT Save(ISequentialStream* stream);
  virtual HRESULT ReservedOp(int32_t value);

  int32_t AddRef();
  // At zero the object deletes itself; objects on the stack or embedded are never
  // released to zero.
  int32_t Release();

  // Null frees the name. Longer names are cut to 23 characters.
  HRESULT SetName(const char16_t* text);

  char16_t* name = nullptr;  // owned, kObjNameUnits units, or null
  int32_t type = 0;
  int32_t refCount = 1;
};

}  // namespace ko
