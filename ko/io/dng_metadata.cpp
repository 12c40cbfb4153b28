#include "ko/io/dng_metadata.h"

#include <cstring>

#include "ko/platform/memory.h"

namespace ko {

namespace {

// A variant that is cleared when it goes out of scope.
struct ScopedVariant {
  ScopedVariant() { std::memset(&v, 0, sizeof v); }
  ~ScopedVariant() { ClearWicVariant(&v); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  PROPVARIANT v;
};

bool IsEmptySchema(const PROPVARIANT& schema) {
  if (schema.vt == VT_EMPTY) return true;
  return schema.vt == VT_LPWSTR && (!schema.pwszVal || !schema.pwszVal[0]);
}

}  // namespace

HRESULT ConvertMetadataToParams(CWicObject* source, CParams* out) {
  if (!source || !out) return E_POINTER;
  void* p = nullptr;
  HRESULT hr = source->QueryInterface(kIidWicMetadataReader, &p);
  if (hr < 0) return hr;
  CWicRef<CWicMetadataReader> reader(static_cast<CWicMetadataReader*>(p));
  uint32_t count = 0;
  if ((hr = reader->GetCount(&count)) < 0) return hr;
  for (uint32_t i = 0; i < count; ++i) {
    ScopedVariant schema, id, value;
    if ((hr = reader->GetValueByIndex(i, &schema.v, &id.v, &value.v)) < 0) return hr;
    if (!IsEmptySchema(schema.v)) continue;
    int32_t number = -1;
    const char16_t* name = nullptr;
    if (id.v.vt == VT_UI2) number = id.v.uiVal;
    else if (id.v.vt == VT_UI4) number = static_cast<int32_t>(id.v.ulVal);
    else if (id.v.vt == VT_LPWSTR && id.v.pwszVal) name = id.v.pwszVal;
    else continue;

    // Nested readers that cannot be converted are skipped, but a failed allocation is
    // reported as such rather than turning into a file with directories missing.
    CParamValue converted;
    if (value.v.vt == VT_UNKNOWN) {
      CParams nested;
      if (!value.v.punkVal) continue;
      hr = ConvertMetadataToParams(static_cast<CWicObject*>(value.v.punkVal), &nested);
      if (hr == E_OUTOFMEMORY) return hr;
      if (hr < 0) continue;
      if ((hr = converted.SetNested(&nested, 1)) < 0) return hr;
    } else if (value.v.vt == kVtVariantVector) {
      const uint32_t n = value.v.ca.cElems;
      const auto* items = static_cast<const PROPVARIANT*>(value.v.ca.pElems);
      if (n == 0 || !items) continue;
      CParams* sets = KoNewArray<CParams>(n);
      if (!sets) return E_OUTOFMEMORY;
      uint32_t kept = 0;
      for (uint32_t k = 0; k < n; ++k) {
        if (items[k].vt != VT_UNKNOWN || !items[k].punkVal) continue;
        hr = ConvertMetadataToParams(static_cast<CWicObject*>(items[k].punkVal), &sets[kept]);
        if (hr == E_OUTOFMEMORY) {
          delete[] sets;
          return hr;
        }
        if (hr < 0) {
          sets[kept].Clear();
          continue;
        }
        ++kept;
      }
      hr = kept ? converted.SetNested(sets, kept) : S_FALSE;
      delete[] sets;
      if (hr < 0) return hr;
      if (hr != S_OK) continue;  // no readers among the elements: nothing stored
    } else {
      hr = converted.SetFromVariant(value.v);
      if (hr < 0) return hr;
      if (hr != S_OK) continue;  // a variant type without a property kind
    }
    hr = name ? out->SetByName(name, 0, converted) : out->SetById(number, 0, converted);
    if (hr < 0) return hr;
  }
  return S_OK;
}

}  // namespace ko
