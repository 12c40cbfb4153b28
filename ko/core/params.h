// Property set: typed values keyed by a name or a number, and by a group, in 11 hash
// buckets, remembering the order in which entries were added.
#pragma once
#include <cstdint>

#include "ko/core/obj.h"
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
  HRESULT GetAs(int32_t kind, void* destination, uint32_t first, uint32_t count) const;

  uint32_t ElementCount() const;
  CParams* NestedSets() const { return kind == kParamNested ? static_cast<CParams*>(data) : nullptr; }

  int32_t kind = 0;
  uint32_t byteLength = 0;
  void* data = nullptr;
};

struct CParamEntry {
  char16_t* name = nullptr;  // owned; null for a numbered entry
  int32_t id = -1;
  int32_t group = 0;
  CParamValue value;
  CParamEntry* older = nullptr;
  CParamEntry* newer = nullptr;
  CParamEntry* prevInBucket = nullptr;
  CParamEntry* nextInBucket = nullptr;
};

class CParams : public CObj {
 public:
  static constexpr int kBuckets = 11;

  CParams() = default;
  ~CParams() override;

  const GUID* GetClassId() const override;
  void GetHeaderBlob(SHeaderBlob* out) const override;
  HRESULT Load(ISequentialStream* stream) override;
  HRESULT Save(ISequentialStream* stream) override;

  HRESULT Set(const char16_t* name, int32_t id, int32_t group, const CParamValue& value);
  HRESULT SetByName(const char16_t* name, int32_t group, const CParamValue& value);
  HRESULT SetById(int32_t id, int32_t group, const CParamValue& value);
  HRESULT Get(const CParamValue** out, const char16_t* name, int32_t id, int32_t group) const;
  HRESULT GetByName(const CParamValue** out, const char16_t* name, int32_t group) const;
  HRESULT GetById(const CParamValue** out, int32_t id, int32_t group) const;
  void Remove(CParamEntry* entry);
  void Clear();
  HRESULT Merge(const CParams* source);

  CParamEntry* Find(const char16_t* name, int32_t id, int32_t group, int* bucket = nullptr) const;
  static int BucketOf(const char16_t* name, int32_t id, int32_t group);
  static bool IsValidName(const char16_t* name);

  // The oldest entry; follow `newer` from there.
  CParamEntry* Oldest() const;

  CParamEntry* newest = nullptr;
  CParamEntry* buckets[kBuckets] = {};
  int32_t entryCount = 0;
};

}  // namespace ko
