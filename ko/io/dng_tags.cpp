#include "ko/io/dng_tags.h"

#include <cmath>

namespace ko::dng {

namespace {

uint32_t ClassOf(int32_t kind) {
  switch (kind) {
    case kParamUInt8: case kParamUInt16: case kParamUInt32: return kAsInteger;
    case kParamRational: case kParamUInt64: return kAsRational;     // UInt64: packed pair
    case kParamSRational: case kParamInt64: return kAsSRational;    // Int64: packed pair
    default: return 0;
  }
}

// Element i as a double; rationals are numerator / denominator. A zero denominator is
// malformed. `rational` tells whether the element was a fraction.
HRESULT NumberAt(const CParamValue& v, uint32_t i, double* out, bool* rational) {
  *rational = false;
  switch (ClassOf(v.kind)) {
    case kAsInteger: {
      uint32_t x = 0;
      if (v.GetAs(kParamUInt32, &x, i, 1) != S_OK) return E_KO_BADFORMAT;
      *out = x;
      return S_OK;
    }
    case kAsRational: {
      uint32_t pair[2] = {0, 0};
      if (v.GetAs(kParamRational, pair, i, 1) != S_OK || pair[1] == 0) return E_KO_BADFORMAT;
      *out = static_cast<double>(pair[0]) / pair[1];
      *rational = true;
      return S_OK;
    }
    case kAsSRational: {
      int32_t pair[2] = {0, 0};
      if (v.GetAs(kParamSRational, pair, i, 1) != S_OK || pair[1] == 0) return E_KO_BADFORMAT;
      *out = static_cast<double>(pair[0]) / pair[1];
      *rational = true;
      return S_OK;
    }
    default: return E_KO_BADFORMAT;
  }
}

}  // namespace

const CParamValue* FindTag(const CParams& set, int32_t tag, uint32_t kinds) {
  const CParamValue* v = nullptr;
  if (set.GetById(&v, tag, 0) != S_OK || !v) return nullptr;
  return (ClassOf(v->kind) & kinds) ? v : nullptr;
}

uint32_t TagCount(const CParams& set, int32_t tag, uint32_t kinds) {
  const CParamValue* v = FindTag(set, tag, kinds);
  return v ? v->ElementCount() : 0;
}

HRESULT ReadReals(const CParams& set, int32_t tag, uint32_t kinds, uint32_t first, uint32_t n, double* out) {
  const CParamValue* v = FindTag(set, tag, kinds);
  if (!v) return S_FALSE;
  if (static_cast<uint64_t>(first) + n > v->ElementCount()) return E_KO_BADFORMAT;
  for (uint32_t i = 0; i < n; ++i) {
    bool rational = false;
    const HRESULT hr = NumberAt(*v, first + i, &out[i], &rational);
    if (hr < 0) return hr;
  }
  return S_OK;
}

HRESULT ReadInts(const CParams& set, int32_t tag, uint32_t kinds, uint32_t first, uint32_t n, int64_t* out) {
  const CParamValue* v = FindTag(set, tag, kinds);
  if (!v) return S_FALSE;
  if (static_cast<uint64_t>(first) + n > v->ElementCount()) return E_KO_BADFORMAT;
  for (uint32_t i = 0; i < n; ++i) {
    double x = 0;
    bool rational = false;
    const HRESULT hr = NumberAt(*v, first + i, &x, &rational);
    if (hr < 0) return hr;
    if (rational) x = std::trunc(x + 0.5);
    if (!(std::fabs(x) < 9007199254740992.0)) return E_KO_BADFORMAT;  // 2^53
    out[i] = static_cast<int64_t>(x);
  }
  return S_OK;
}

HRESULT ReadIntOr(const CParams& set, int32_t tag, uint32_t kinds, int64_t fallback, int64_t* out) {
  const HRESULT hr = ReadInts(set, tag, kinds, 0, 1, out);
  if (hr == S_FALSE) *out = fallback;
  return hr < 0 ? hr : S_OK;
}

}  // namespace ko::dng
