// The persistent form of a property set; numbers are little-endian uint32, name units
// little-endian uint16:
//   set:   entry count, then each entry from the oldest
//   entry: id (0xFFFFFFFF for a named entry, then the name's unit count with its
//          terminator and the units), group, kind, and unless the kind is 0 the byte
//          length and that many bytes; a nested value's bytes are zeros, followed by each
//          nested set in this form.
// Loading trusts nothing: reads are bounded by what the stream delivers, names and
// nesting depth are capped.
#include <algorithm>
#include <string>
#include <vector>

#include "ko/core/params.h"
#include "ko/platform/byte_order.h"
#include "ko/platform/wide_string.h"

namespace ko {

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
  if (hr < 0 || v.kind == kParamEmpty) return hr;
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
