#include "ko/core/obj.h"

#include <cstring>

#include "ko/platform/byte_order.h"
#include "ko/platform/atomic.h"
#include "ko/platform/memory.h"

namespace ko {

const GUID CLSID_CObj = {0xE9BCBD81, 0xEC94, 0x4FA9, {0xB3, 0xFF, 0x46, 0x87, 0x61, 0xCE, 0x25, 0x3E}};
const GUID CLSID_CImg = {0x4D2D796C, 0xA521, 0x49A0, {0xBF, 0x63, 0x35, 0x78, 0xDB, 0xA6, 0x18, 0x9D}};
const GUID CLSID_CParams = {0x303545C0, 0xECB9, 0x45D6, {0x83, 0x18, 0x84, 0x73, 0x78, 0x63, 0xF7, 0x1B}};

CObj::~CObj() { KoFree(name); }

const GUID* CObj::GetClassId() const { return &CLSID_CObj; }

void CObj::GetHeaderBlob(SHeaderBlob* out) const {
  if (out) *out = SHeaderBlob{0, nullptr};
}

HRESULT CObj::ReservedOp(int32_t) { return S_OK; }

int32_t CObj::AddRef() { return InterlockedIncrement(&refCount); }

int32_t CObj::Release() {
  const int32_t n = InterlockedDecrement(&refCount);
  if (n == 0) {
    delete this;
    return 0;
  }
  return n;
}

HRESULT CObj::SetName(const char16_t* text) {
  if (!text) {
    KoFree(name);
    name = nullptr;
    return S_OK;
  }
  if (!name) {
    auto* buffer = static_cast<char16_t*>(KoCalloc(kObjNameUnits * sizeof(char16_t)));
    if (!buffer) {
      lastError = E_OUTOFMEMORY;
      return E_OUTOFMEMORY;
    }
    name = buffer;
  }
  int n = 0;
  // Copy through a temporary: `text` may be the name buffer itself.
  char16_t copy[kObjNameUnits] = {};
  while (n < kObjNameUnits - 1 && text[n]) {
    copy[n] = text[n];
    ++n;
  }
  std::memcpy(name, copy, sizeof copy);
  return S_OK;
}

HRESULT CObj::Save(ISequentialStream* stream) {
  if (!stream) return E_POINTER;
  uint8_t record[kObjRecordBytes] = {};
  PutLE32(record, static_cast<uint32_t>(type));
  if (name) {
    for (int i = 0; i < kObjNameUnits; ++i) PutLE16(record + 4 + 2 * i, name[i]);
  }
  uint32_t written = 0;
  const HRESULT hr = stream->Write(record, kObjRecordBytes, &written);
  return hr < 0 ? hr : S_OK;
}

HRESULT CObj::Load(ISequentialStream* stream) {
  if (!stream) return E_POINTER;
  uint8_t record[kObjRecordBytes];
  uint32_t got = 0;
  const HRESULT hr = stream->Read(record, kObjRecordBytes, &got);
  if (hr < 0) return hr;
  if (hr == S_FALSE || got != kObjRecordBytes) return E_KO_READ;
  char16_t units[kObjNameUnits];
  for (int i = 0; i < kObjNameUnits; ++i) units[i] = GetLE16(record + 4 + 2 * i);
  units[kObjNameUnits - 1] = 0;  // the stored name may lack its terminator
  type = static_cast<int32_t>(GetLE32(record));
  return SetName(units);
}

}  // namespace ko
