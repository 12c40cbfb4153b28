// Creates stored objects from the class identifier found in an object file.
#pragma once
#include "ko/core/obj.h"

namespace ko {

// A new object with one reference for the identifiers of CObj and CImg (an empty image);
// any other identifier is E_NOINTERFACE. *out is null on every failure.
HRESULT CreateObjectFromClassId(const GUID& classId, CObj** out);

}  // namespace ko
