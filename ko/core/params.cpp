#include "ko/core/params.h"

#include <locale.h>
#include <wctype.h>

#include <cstring>
#include <string_view>

#include "ko/platform/memory.h"
#include "ko/platform/wide_string.h"

namespace ko {

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

}  // namespace ko
