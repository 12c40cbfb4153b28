// The readers of tag values from one directory's property set (as ConvertMetadataToParams
// builds it); the tag numbers are those of ko/codec/tiff_tags.h.
//
// Each tag is read only in the value classes the DNG standard allows for it; a tag stored
// in another kind counts as absent. Integers are BYTE, SHORT and LONG; rationals come as
// RATIONAL or as packed UInt64 pairs, signed rationals as SRATIONAL or Int64 pairs. A
// value too short for what is asked of it, or a zero denominator, is E_KO_BADFORMAT.
#pragma once
#include <cstdint>

#include "ko/codec/tiff_tags.h"
#include "ko/core/params.h"

namespace ko::dng {

// Value classes, combined as a mask of the ones a tag may be read in.
enum : uint32_t { kAsInteger = 1, kAsRational = 2, kAsSRational = 4 };
constexpr uint32_t kAsAnyRational = kAsRational | kAsSRational;

// The value of `tag` when it is stored in one of the `kinds`; null when it is absent or
// stored otherwise.
const CParamValue* FindTag(const CParams& set, int32_t tag, uint32_t kinds);

// The number of values of `tag`; 0 when it is absent.
uint32_t TagCount(const CParams& set, int32_t tag, uint32_t kinds);

// n values of `tag` from `first`, rationals as numerator / denominator: S_FALSE when the
// tag is absent, E_KO_BADFORMAT when it holds too few values or a zero denominator.
HRESULT ReadReals(const CParams& set, int32_t tag, uint32_t kinds, uint32_t first, uint32_t n, double* out);

// The same for integers: fractions are rounded by adding 0.5 and truncating; values of
// magnitude 2^53 or more are E_KO_BADFORMAT.
HRESULT ReadInts(const CParams& set, int32_t tag, uint32_t kinds, uint32_t first, uint32_t n, int64_t* out);

// One integer, `fallback` when the tag is absent.
HRESULT ReadIntOr(const CParams& set, int32_t tag, uint32_t kinds, int64_t fallback, int64_t* out);

}  // namespace ko::dng
