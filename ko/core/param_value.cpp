#include "ko/core/param_value.h"

#include <cstring>
#include <initializer_list>

#include "ko/core/params.h"
#include "ko/platform/memory.h"
#include "ko/platform/wide_string.h"

namespace ko {

uint32_t ParamElementSize(int32_t kind) {
  switch (kind) {
    case kParamUInt8: case kParamInt8: case kParamUndefined: case kParamBool: return 1;
    case kParamUInt16: case kParamInt16: return 2;
    case kParamUInt32: case kParamInt32: case kParamFloat: return 4;
    case kParamRational: case kParamSRational: case kParamDouble: case kParamUInt64: case kParamInt64: return 8;
    case kParamGuid: return 16;
    case kParamNested: return sizeof(CParams);
    default: return 0;  // strings and unknown kinds
  }
}

void CParamValue::Free() {
  if (kind == kParamNested) delete[] static_cast<CParams*>(data);
  else KoFree(data);
  kind = kParamEmpty;
  byteLength = 0;
  data = nullptr;
}

uint32_t CParamValue::ElementCount() const {
  if (kind == kParamEmpty) return 0;
  if (kind == kParamString || kind == kParamWString) return 1;
  const uint32_t size = ParamElementSize(kind);
  return size ? byteLength / size : 0;
}

HRESULT CParamValue::SetData(int32_t newKind, uint32_t newLength, const void* source) {
  Free();
  if (newKind == kParamEmpty) return S_OK;
  if (newKind == kParamNested) return E_INVALIDARG;  // nested sets go through SetNested
  void* copy = nullptr;
  if (newLength) {
    copy = KoMalloc(newLength);
    if (!copy) return E_OUTOFMEMORY;
    if (source) std::memcpy(copy, source, newLength);
    else std::memset(copy, 0, newLength);
  }
  kind = newKind;
  byteLength = newLength;
  data = copy;
  return S_OK;
}

HRESULT CParamValue::SetString(const char* text) {
  const size_t n = text ? std::strlen(text) + 1 : 1;
  if (n > UINT32_MAX) return E_OUTOFMEMORY;
  static const char empty = 0;
  return SetData(kParamString, static_cast<uint32_t>(n), text ? text : &empty);
}

HRESULT CParamValue::SetWString(const char16_t* text) {
  const size_t n = WStrLen(text);
  if (n >= UINT32_MAX / 2) return E_OUTOFMEMORY;
  static const char16_t empty = 0;
  return SetData(kParamWString, static_cast<uint32_t>(2 * n + 2), text ? text : &empty);
}

template <class T>
static HRESULT SetArray(CParamValue* v, int32_t kind, const T* values, uint32_t n) {
  if (n > UINT32_MAX / sizeof(T)) return E_OUTOFMEMORY;
  return v->SetData(kind, static_cast<uint32_t>(n * sizeof(T)), values);
}

HRESULT CParamValue::SetUInt32s(const uint32_t* v, uint32_t n) { return SetArray(this, kParamUInt32, v, n); }
HRESULT CParamValue::SetInt32s(const int32_t* v, uint32_t n) { return SetArray(this, kParamInt32, v, n); }
HRESULT CParamValue::SetFloats(const float* v, uint32_t n) { return SetArray(this, kParamFloat, v, n); }
HRESULT CParamValue::SetDoubles(const double* v, uint32_t n) { return SetArray(this, kParamDouble, v, n); }
HRESULT CParamValue::SetUInt64s(const uint64_t* v, uint32_t n) { return SetArray(this, kParamUInt64, v, n); }
HRESULT CParamValue::SetInt64s(const int64_t* v, uint32_t n) { return SetArray(this, kParamInt64, v, n); }

HRESULT CParamValue::SetNested(const CParams* sets, uint32_t n) {
  Free();
  if (n > UINT32_MAX / sizeof(CParams)) return E_OUTOFMEMORY;
  CParams* array = n ? KoNewArray<CParams>(n) : nullptr;
  if (n && !array) return E_OUTOFMEMORY;
  kind = kParamNested;
  byteLength = static_cast<uint32_t>(n * sizeof(CParams));
  data = array;
  for (uint32_t i = 0; i < n; ++i) {
    const HRESULT hr = array[i].Merge(sets ? &sets[i] : nullptr);
    if (hr < 0) return hr;
  }
  return S_OK;
}

HRESULT CParamValue::CopyFrom(const CParamValue& other) {
  if (&other == this) return S_OK;
  if (other.kind == kParamNested) return SetNested(other.NestedSets(), other.ElementCount());
  return SetData(other.kind, other.byteLength, other.data);
}

HRESULT CParamValue::SetFromVariant(const PROPVARIANT& v) {
  const uint16_t vt = v.vt;
  auto scalarKind = [](uint16_t code) -> int32_t {
    switch (code) {
      case VT_I2: return kParamInt16;
      case VT_I4: return kParamInt32;
      case VT_R4: return kParamFloat;
      case VT_R8: return kParamDouble;
      case VT_I1: return kParamInt8;
      case VT_UI1: return kParamUInt8;
      case VT_UI2: return kParamUInt16;
      case VT_UI4: return kParamUInt32;
      case VT_I8: return kParamInt64;
      case VT_UI8: return kParamUInt64;
      case VT_CLSID: return kParamGuid;
      default: return kParamEmpty;
    }
  };
  if (vt & VT_VECTOR) {
    const int32_t k = scalarKind(static_cast<uint16_t>(vt & ~VT_VECTOR));
    if (!k) {
      Free();
      return S_FALSE;
    }
    const uint64_t bytes = static_cast<uint64_t>(v.ca.cElems) * ParamElementSize(k);
    if (bytes > UINT32_MAX) return E_OUTOFMEMORY;
    if (bytes && !v.ca.pElems) return E_POINTER;
    return SetData(k, static_cast<uint32_t>(bytes), v.ca.pElems);
  }
  switch (vt) {
    case VT_BOOL: {
      const uint8_t b = v.boolVal != 0 ? 1 : 0;
      return SetData(kParamBool, 1, &b);
    }
    case VT_LPSTR: return SetString(v.pszVal);
    case VT_LPWSTR: return SetWString(v.pwszVal);
    case VT_BLOB:
      if (v.blob.cbSize && !v.blob.pBlobData) return E_POINTER;
      return SetData(kParamUndefined, v.blob.cbSize, v.blob.pBlobData);
    case VT_CLSID:
      if (!v.puuid) return E_POINTER;
      return SetData(kParamGuid, 16, v.puuid);
    default: break;
  }
  const int32_t k = scalarKind(vt);
  if (!k) {
    Free();
    return S_FALSE;
  }
  return SetData(k, ParamElementSize(k), &v.bVal);
}

namespace {

// Element i of a stored array, read by value as a wide integer or a double.
int64_t SignedAt(const CParamValue& v, uint32_t i) {
  const auto* p = static_cast<const uint8_t*>(v.data);
  switch (v.kind) {
    case kParamInt8: return static_cast<int8_t>(p[i]);
    case kParamInt16: { int16_t x; std::memcpy(&x, p + 2 * i, 2); return x; }
    case kParamInt32: { int32_t x; std::memcpy(&x, p + 4 * i, 4); return x; }
    default: return 0;
  }
}
uint64_t UnsignedAt(const CParamValue& v, uint32_t i) {
  const auto* p = static_cast<const uint8_t*>(v.data);
  switch (v.kind) {
    case kParamUInt8: return p[i];
    case kParamUInt16: { uint16_t x; std::memcpy(&x, p + 2 * i, 2); return x; }
    case kParamUInt32: { uint32_t x; std::memcpy(&x, p + 4 * i, 4); return x; }
    default: return 0;
  }
}
bool IsSignedInt(int32_t k) { return k == kParamInt8 || k == kParamInt16 || k == kParamInt32; }
bool IsUnsignedInt(int32_t k) { return k == kParamUInt8 || k == kParamUInt16 || k == kParamUInt32; }

template <class T>
void Store(void* dst, uint32_t i, T value) {
  std::memcpy(static_cast<uint8_t*>(dst) + i * sizeof(T), &value, sizeof(T));
}

}  // namespace

HRESULT CParamValue::GetAs(ParamKind want, void* destination, uint32_t first, uint32_t count) const {
  if (static_cast<uint64_t>(first) + count > ElementCount()) return E_INVALIDARG;
  const int32_t have = kind;
  auto accepts = [&](std::initializer_list<ParamKind> kinds) {
    for (ParamKind k : kinds)
      if (k == have) return true;
    return false;
  };
  // The stored kinds each requested kind can be read from.
  bool ok = false;
  switch (want) {
    case kParamUInt8: ok = accepts({kParamUInt8}); break;
    case kParamUInt16: ok = accepts({kParamUInt8, kParamUInt16}); break;
    case kParamUInt32: ok = accepts({kParamUInt8, kParamUInt16, kParamUInt32}); break;
    case kParamRational: ok = accepts({kParamRational, kParamUInt64}); break;
    case kParamInt8: ok = accepts({kParamInt8}); break;
    case kParamInt16: ok = accepts({kParamInt8, kParamInt16}); break;
    case kParamInt32: ok = accepts({kParamInt8, kParamInt16, kParamInt32}); break;
    case kParamSRational: ok = accepts({kParamSRational, kParamInt64}); break;
    case kParamFloat: ok = accepts({kParamUInt8, kParamUInt16, kParamInt8, kParamInt16, kParamFloat}); break;
    case kParamDouble:
      ok = accepts({kParamUInt8, kParamUInt16, kParamUInt32, kParamInt8, kParamInt16, kParamInt32, kParamFloat,
                    kParamDouble});
      break;
    case kParamBool: ok = accepts({kParamBool}); break;
    case kParamUInt64: ok = accepts({kParamUInt8, kParamUInt16, kParamUInt32, kParamUInt64}); break;
    case kParamInt64: ok = accepts({kParamInt8, kParamInt16, kParamInt32, kParamInt64}); break;
    case kParamGuid: ok = accepts({kParamGuid}); break;
    default: ok = false; break;
  }
  if (!ok) return S_FALSE;
  if (count == 0) return S_OK;
  if (!destination) return E_POINTER;
  const uint32_t haveSize = ParamElementSize(have);
  if (have == want || ParamElementSize(want) == haveSize) {
    // Same kind, or the 8-byte pairs (Rational from UInt64, SRational from Int64): a bit copy.
    std::memcpy(destination, static_cast<const uint8_t*>(data) + static_cast<size_t>(first) * haveSize,
                static_cast<size_t>(count) * haveSize);
    return S_OK;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t e = first + i;
    double asDouble = 0;
    if (IsSignedInt(have)) asDouble = static_cast<double>(SignedAt(*this, e));
    else if (IsUnsignedInt(have)) asDouble = static_cast<double>(UnsignedAt(*this, e));
    else if (have == kParamFloat) { float f; std::memcpy(&f, static_cast<const uint8_t*>(data) + 4 * e, 4); asDouble = f; }
    switch (want) {
      case kParamUInt16: Store(destination, i, static_cast<uint16_t>(UnsignedAt(*this, e))); break;
      case kParamUInt32: Store(destination, i, static_cast<uint32_t>(UnsignedAt(*this, e))); break;
      case kParamUInt64: Store(destination, i, static_cast<uint64_t>(UnsignedAt(*this, e))); break;
      case kParamInt16: Store(destination, i, static_cast<int16_t>(SignedAt(*this, e))); break;
      case kParamInt32: Store(destination, i, static_cast<int32_t>(SignedAt(*this, e))); break;
      case kParamInt64: Store(destination, i, static_cast<int64_t>(SignedAt(*this, e))); break;
      case kParamFloat: Store(destination, i, static_cast<float>(asDouble)); break;
      case kParamDouble: Store(destination, i, asDouble); break;
      default: return S_FALSE;
    }
  }
  return S_OK;
}

}  // namespace ko
