// One typed value of a property set: an element kind and the bytes of one or more
// elements, owned by the value (KoMalloc'd; nested sets as an owned array of CParams).
// Values are not copyable by assignment: CopyFrom makes a deep copy. GetAs converts
// elements to another kind by value, where the conversion table allows it.
#pragma once
#include <cstdint>

#include "ko/platform/hresult.h"
#include "ko/platform/propvariant.h"

namespace ko {

class CParams;

// Element kinds; 1 to 12 are the TIFF/EXIF field types.
enum ParamKind : int32_t {
  kParamEmpty = 0,
  kParamUInt8 = 1,
  kParamString = 2,     // ANSI, NUL counted in byteLength
  kParamUInt16 = 3,
  kParamUInt32 = 4,
  kParamRational = 5,   // two uint32: numerator, denominator
  kParamInt8 = 6,
  kParamUndefined = 7,
  kParamInt16 = 8,
  kParamInt32 = 9,
  kParamSRational = 10, // two int32
  kParamFloat = 11,
  kParamDouble = 12,
  kParamBool = 13,
  kParamWString = 14,   // UTF-16, terminator counted in byteLength
  kParamUInt64 = 15,
  kParamInt64 = 16,
  kParamGuid = 17,
  kParamNested = 18,    // an owned array of CParams
};

// Bytes per element of a kind (strings count as one element of their whole length).
uint32_t ParamElementSize(int32_t kind);

class CParamValue {
 public:
  CParamValue() = default;
  ~CParamValue() { Free(); }
  CParamValue(const CParamValue&) = delete;
  CParamValue& operator=(const CParamValue&) = delete;

  void Free();
  HRESULT SetData(int32_t kind, uint32_t byteLength, const void* source);
  HRESULT SetString(const char* text);
  HRESULT SetWString(const char16_t* text);
  HRESULT SetUInt32s(const uint32_t* values, uint32_t n);
  HRESULT SetInt32s(const int32_t* values, uint32_t n);
  HRESULT SetFloats(const float* values, uint32_t n);
  HRESULT SetDoubles(const double* values, uint32_t n);
  HRESULT SetUInt64s(const uint64_t* values, uint32_t n);
  HRESULT SetInt64s(const int64_t* values, uint32_t n);
  HRESULT SetNested(const CParams* sets, uint32_t n);
  HRESULT CopyFrom(const CParamValue& other);
  HRESULT SetFromVariant(const PROPVARIANT& variant);
  // Converts elements first .. first + count - 1 into `destination` as `kind`; S_FALSE
  // (nothing written) when the stored kind does not convert, E_INVALIDARG past the end.
  // Only conversions that keep every value are offered: integers widen within their
  // signedness, to float up to 16 bits and to double up to 32 bits, float to double;
  // UInt64 and Int64 elements read as Rational and SRational pairs, bit for bit.
  HRESULT GetAs(ParamKind kind, void* destination, uint32_t first, uint32_t count) const;

  uint32_t ElementCount() const;
  CParams* NestedSets() const { return kind == kParamNested ? static_cast<CParams*>(data) : nullptr; }

  int32_t kind = kParamEmpty;
  uint32_t byteLength = 0;
  void* data = nullptr;
};

}  // namespace ko
