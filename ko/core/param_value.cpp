#include "ko/core/params.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ko/platform/byte_order.h"
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

// ---------------------------------------------------------------------------------------
// CParamValue

void CParamValue::Free() {
  if (kind == kParamNested) delete[] static_cast<CParams*>(data);
  else KoFree(data);
  kind = 0;
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
      default: return 0;
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

HRESULT CParamValue::GetAs(int32_t want, void* destination, uint32_t first, uint32_t count) const {
  if (static_cast<uint64_t>(first) + count > ElementCount()) return E_INVALIDARG;
  const int32_t have = kind;
  auto accepts = [&](std::initializer_list<int32_t> kinds) {
    for (int32_t k : kinds)
      if (k == have) return true;
    return false;
  };
  bool ok = false;
  switch (want) {
    case kParamUInt8: ok = accepts({1}); break;
    case kParamUInt16: ok = accepts({1, 3}); break;
    case kParamUInt32: ok = accepts({1, 3, 4}); break;
    case kParamRational: ok = accepts({5, 15}); break;
    case kParamInt8: ok = accepts({6}); break;
    case kParamInt16: ok = accepts({6, 8}); break;
    case kParamInt32: ok = accepts({6, 8, 9}); break;
    case kParamSRational: ok = accepts({10, 16}); break;
    case kParamFloat: ok = accepts({1, 3, 6, 8, 11}); break;
    case kParamDouble: ok = accepts({1, 3, 4, 6, 8, 9, 11, 12}); break;
    case kParamBool: ok = accepts({13}); break;
    case kParamUInt64: ok = accepts({1, 3, 4, 15}); break;
    case kParamInt64: ok = accepts({6, 8, 9, 16}); break;
    case kParamGuid: ok = accepts({17}); break;
    default: ok = false; break;
  }
  if (!ok) return S_FALSE;
  if (count == 0) return S_OK;
  if (!destination) return E_POINTER;
  const uint32_t haveSize = ParamElementSize(have);
  if (have == want || ParamElementSize(want) == haveSize) {
    // Same kind, or the 8-byte pairs (5 from 15, 10 from 16): a bit copy.
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

// ---------------------------------------------------------------------------------------
// CParams

CParams::~CParams() { Clear(); }

const GUID* CParams::GetClassId() const { return &CLSID_CParams; }

void CParams::GetHeaderBlob(SHeaderBlob* out) const {
  if (out) *out = SHeaderBlob{0, nullptr};
}

bool CParams::IsValidName(const char16_t* name) {
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  for (; *name; ++name) {
    const char16_t c = *name;
    if (c == u'*' || c == u'-' || c == u'.' || c == u'_') continue;
    if (c < 0x80) {
      if ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) continue;
      return false;
    }
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    if (!utf8 || !iswalnum_l(static_cast<wint_t>(c), utf8)) return false;
  }
  return true;
}

int CParams::BucketOf(const char16_t* name, int32_t id, int32_t group) {
  uint32_t h = (static_cast<uint32_t>(group) + 2u) % kBuckets;
  if (name) {
    for (; *name; ++name) h = (17u * h + *name) % kBuckets;
  } else {
    h = (17u * h + static_cast<uint32_t>(id)) % kBuckets;
  }
  return static_cast<int>(h);
}

CParamEntry* CParams::Find(const char16_t* name, int32_t id, int32_t group, int* bucket) const {
  const int b = BucketOf(name, id, group);
  if (bucket) *bucket = b;
  for (CParamEntry* e = buckets[b]; e; e = e->nextInBucket) {
    if (e->group != group) continue;
    if (name) {
      if (e->name && std::u16string_view(e->name) == std::u16string_view(name)) return e;
    } else if (!e->name && e->id == id) {
      return e;
    }
  }
  return nullptr;
}

HRESULT CParams::Set(const char16_t* name, int32_t id, int32_t group, const CParamValue& value) {
  if (name && !IsValidName(name)) return E_KO_BADFORMAT;
  int b = 0;
  if (CParamEntry* found = Find(name, id, group, &b)) return found->value.CopyFrom(value);
  CParamEntry* entry = KoNew<CParamEntry>();
  if (!entry) return E_OUTOFMEMORY;
  if (name) {
    const size_t n = WStrLen(name);
    entry->name = KoNewArray<char16_t>(n + 1);
    if (!entry->name) {
      delete entry;
      return E_OUTOFMEMORY;
    }
    std::memcpy(entry->name, name, (n + 1) * sizeof(char16_t));
    entry->id = -1;
  } else {
    entry->id = id;
  }
  entry->group = group;
  const HRESULT hr = entry->value.CopyFrom(value);
  if (hr < 0) {
    delete[] entry->name;
    delete entry;
    return hr;
  }
  entry->nextInBucket = buckets[b];
  if (buckets[b]) buckets[b]->prevInBucket = entry;
  buckets[b] = entry;
  entry->older = newest;
  if (newest) newest->newer = entry;
  newest = entry;
  ++entryCount;
  return S_OK;
}

HRESULT CParams::SetByName(const char16_t* name, int32_t group, const CParamValue& value) {
  if (!name) return E_INVALIDARG;
  return Set(name, -1, group, value);
}

HRESULT CParams::SetById(int32_t id, int32_t group, const CParamValue& value) {
  return Set(nullptr, id, group, value);
}

HRESULT CParams::Get(const CParamValue** out, const char16_t* name, int32_t id, int32_t group) const {
  if (!out) return E_POINTER;
  CParamEntry* e = Find(name, id, group);
  *out = e ? &e->value : nullptr;
  return e ? S_OK : S_FALSE;
}

HRESULT CParams::GetByName(const CParamValue** out, const char16_t* name, int32_t group) const {
  if (!name) {
    if (out) *out = nullptr;
    return out ? S_FALSE : E_POINTER;
  }
  return Get(out, name, -1, group);
}

HRESULT CParams::GetById(const CParamValue** out, int32_t id, int32_t group) const {
  return Get(out, nullptr, id, group);
}

void CParams::Remove(CParamEntry* entry) {
  if (!entry) return;
  const int b = BucketOf(entry->name, entry->id, entry->group);
  if (entry->prevInBucket) entry->prevInBucket->nextInBucket = entry->nextInBucket;
  else if (buckets[b] == entry) buckets[b] = entry->nextInBucket;
  if (entry->nextInBucket) entry->nextInBucket->prevInBucket = entry->prevInBucket;
  if (entry->newer) entry->newer->older = entry->older;
  else if (newest == entry) newest = entry->older;
  if (entry->older) entry->older->newer = entry->newer;
  delete[] entry->name;
  delete entry;
  --entryCount;
}

void CParams::Clear() {
  while (newest) Remove(newest);
  entryCount = 0;
}

CParamEntry* CParams::Oldest() const {
  CParamEntry* e = newest;
  while (e && e->older) e = e->older;
  return e;
}

HRESULT CParams::Merge(const CParams* source) {
  if (!source || source == this) return S_OK;
  for (CParamEntry* e = source->Oldest(); e; e = e->newer) {
    const HRESULT hr = Set(e->name, e->id, e->group, e->value);
    if (hr < 0) return hr;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// Persistent form

namespace {

HRESULT WriteAll(ISequentialStream* s, const void* p, uint32_t n) {
  uint32_t written = 0;
  const HRESULT hr = s->Write(p, n, &written);
  return hr < 0 ? hr : S_OK;
}

HRESULT WriteU32(ISequentialStream* s, uint32_t v) {
  uint8_t b[4];
  PutLE32(b, v);
  return WriteAll(s, b, 4);
}

HRESULT ReadExact(ISequentialStream* s, void* p, uint32_t n) {
  uint32_t got = 0;
  const HRESULT hr = s->Read(p, n, &got);
  if (hr < 0) return hr;
  return got == n ? S_OK : E_FAIL;
}

HRESULT ReadU32(ISequentialStream* s, uint32_t* v) {
  uint8_t b[4];
  const HRESULT hr = ReadExact(s, b, 4);
  if (hr < 0) return hr;
  *v = GetLE32(b);
  return S_OK;
}

// Reads n bytes in bounded steps, so a stream that claims more than it holds fails
// before a large allocation is made.
HRESULT ReadBlob(ISequentialStream* s, uint32_t n, std::vector<uint8_t>* out) {
  constexpr uint32_t kStep = 1u << 20;
  out->clear();
  while (out->size() < n) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(kStep, n - out->size()));
    const size_t at = out->size();
    try {
      out->resize(at + chunk);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    const HRESULT hr = ReadExact(s, out->data() + at, chunk);
    if (hr < 0) return hr;
  }
  return S_OK;
}

HRESULT SaveSet(const CParams& set, ISequentialStream* s);

HRESULT SaveValue(const CParamValue& v, ISequentialStream* s) {
  HRESULT hr = WriteU32(s, static_cast<uint32_t>(v.kind));
  if (hr < 0 || v.kind == 0) return hr;
  hr = WriteU32(s, v.byteLength);
  if (hr < 0) return hr;
  if (v.kind == kParamNested) {
    // The array's own bytes mean nothing outside this process: zeros stand for them,
    // followed by each nested set in its persistent form.
    const uint8_t zeros[256] = {};
    for (uint32_t left = v.byteLength; left;) {
      const uint32_t n = left < sizeof zeros ? left : sizeof zeros;
      if ((hr = WriteAll(s, zeros, n)) < 0) return hr;
      left -= n;
    }
    for (uint32_t i = 0; i < v.ElementCount(); ++i)
      if ((hr = SaveSet(v.NestedSets()[i], s)) < 0) return hr;
    return S_OK;
  }
  return v.byteLength ? WriteAll(s, v.data, v.byteLength) : S_OK;
}

HRESULT SaveSet(const CParams& set, ISequentialStream* s) {
  HRESULT hr = WriteU32(s, static_cast<uint32_t>(set.entryCount));
  if (hr < 0) return hr;
  for (CParamEntry* e = set.Oldest(); e; e = e->newer) {
    if ((hr = WriteU32(s, static_cast<uint32_t>(e->name ? -1 : e->id))) < 0) return hr;
    if (e->name) {
      const uint32_t units = static_cast<uint32_t>(WStrLen(e->name) + 1);
      if ((hr = WriteU32(s, units)) < 0) return hr;
      std::vector<uint8_t> bytes(units * 2);
      for (uint32_t i = 0; i < units; ++i) PutLE16(&bytes[2 * i], e->name[i]);
      if ((hr = WriteAll(s, bytes.data(), units * 2)) < 0) return hr;
    }
    if ((hr = WriteU32(s, static_cast<uint32_t>(e->group))) < 0) return hr;
    if ((hr = SaveValue(e->value, s)) < 0) return hr;
  }
  return S_OK;
}

constexpr int kMaxNesting = 16;

HRESULT LoadSet(CParams* set, ISequentialStream* s, int depth) {
  set->Clear();
  uint32_t count = 0;
  HRESULT hr = ReadU32(s, &count);
  if (hr < 0) return hr;
  std::vector<uint8_t> blob;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t id = 0;
    if ((hr = ReadU32(s, &id)) < 0) return hr;
    std::u16string name;
    const bool named = static_cast<int32_t>(id) == -1;
    if (named) {
      uint32_t units = 0;
      if ((hr = ReadU32(s, &units)) < 0) return hr;
      if (units == 0 || units > (1u << 20)) return E_FAIL;  // no name is that long
      if ((hr = ReadBlob(s, units * 2, &blob)) < 0) return hr;
      for (uint32_t k = 0; k + 1 < units; ++k) name.push_back(GetLE16(&blob[2 * k]));
    }
    uint32_t group = 0, kind = 0, length = 0;
    if ((hr = ReadU32(s, &group)) < 0) return hr;
    if ((hr = ReadU32(s, &kind)) < 0) return hr;
    CParamValue value;
    if (kind != 0) {
      if ((hr = ReadU32(s, &length)) < 0) return hr;
      if (static_cast<int32_t>(kind) == kParamNested) {
        if (depth >= kMaxNesting || length % sizeof(CParams)) return E_FAIL;
        if ((hr = ReadBlob(s, length, &blob)) < 0) return hr;
        const uint32_t n = length / sizeof(CParams);
        std::vector<CParams> nested(n);
        for (uint32_t k = 0; k < n; ++k)
          if ((hr = LoadSet(&nested[k], s, depth + 1)) < 0) return hr;
        if ((hr = value.SetNested(nested.data(), n)) < 0) return hr;
      } else {
        if ((hr = ReadBlob(s, length, &blob)) < 0) return hr;
        if ((hr = value.SetData(static_cast<int32_t>(kind), length, blob.data())) < 0) return hr;
      }
    }
    hr = named ? set->SetByName(name.c_str(), static_cast<int32_t>(group), value)
               : set->SetById(static_cast<int32_t>(id), static_cast<int32_t>(group), value);
    if (hr < 0) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT CParams::Save(ISequentialStream* stream) {
  if (!stream) return E_POINTER;
  return SaveSet(*this, stream);
}

HRESULT CParams::Load(ISequentialStream* stream) {
  if (!stream) return E_POINTER;
  return LoadSet(this, stream, 0);
}

}  // namespace ko
