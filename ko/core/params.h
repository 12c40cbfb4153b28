// Property set: typed values (ko/core/param_value.h) keyed by a name or a number, and by a
// group, in 11 hash buckets, remembering the order in which entries were added. Names are
// letters, digits and "*-._"; setting an existing key replaces its value in place. The
// persistent form (Save, Load) lives in params_persist.cpp.
#pragma once
#include <cstdint>

#include "ko/core/obj.h"
#include "ko/core/param_value.h"

namespace ko {

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
