#include "ko/core/obj_factory.h"

#include "ko/core/img.h"
#include "ko/platform/memory.h"

namespace ko {

HRESULT CreateObjectFromClassId(const GUID& classId, CObj** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  CObj* object = nullptr;
  if (IsEqualClassId(classId, CLSID_CObj))
    object = KoNew<CObj>();
  else if (IsEqualClassId(classId, CLSID_CImg))
    object = KoNew<CImg>();
  else
    return E_NOINTERFACE;
  if (!object) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

}  // namespace ko
