#include "ko/platform/hresult.h"

namespace ko {

const char* ResultName(HRESULT hr) {
  switch (hr) {
    case S_OK: return "S_OK";
    case S_FALSE: return "S_FALSE";
    case S_KO_END: return "S_KO_END";
    case E_NOTIMPL: return "E_NOTIMPL";
    case E_NOINTERFACE: return "E_NOINTERFACE";
    case E_POINTER: return "E_POINTER";
    case E_ABORT: return "E_ABORT";
    case E_FAIL: return "E_FAIL";
    case E_UNEXPECTED: return "E_UNEXPECTED";
    case E_ACCESSDENIED: return "E_ACCESSDENIED";
    case E_OUTOFMEMORY: return "E_OUTOFMEMORY";
    case E_INVALIDARG: return "E_INVALIDARG";
    case E_KO_BUFFERTOOSMALL: return "E_KO_BUFFERTOOSMALL";
    case E_KO_READ: return "E_KO_READ";
    case E_KO_BADFORMAT: return "E_KO_BADFORMAT";
    case E_KO_WRONGCLASS: return "E_KO_WRONGCLASS";
    case E_KO_NOTFOUND: return "E_KO_NOTFOUND";
    case E_KO_NOTINIT: return "E_KO_NOTINIT";
    default: return hr < 0 ? "failure" : "success";
  }
}

}  // namespace ko
