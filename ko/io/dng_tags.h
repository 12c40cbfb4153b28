// The DNG reader's tag numbers, and the readers of tag values from one directory's
// property set (as ConvertMetadataToParams builds it).
//
// Each tag is read only in the value classes the DNG standard allows for it; a tag stored
// in another kind counts as absent. Integers are BYTE, SHORT and LONG; rationals come as
// RATIONAL or as packed UInt64 pairs, signed rationals as SRATIONAL or Int64 pairs. A
// value too short for what is asked of it, or a zero denominator, is E_KO_BADFORMAT.
#pragma once
#include <cstdint>

#include "ko/core/params.h"

namespace ko::dng {

// TIFF, TIFF/EP and DNG tag numbers.
constexpr int32_t kTagNewSubFileType = 254;
constexpr int32_t kTagImageWidth = 256;
constexpr int32_t kTagImageLength = 257;
constexpr int32_t kTagBitsPerSample = 258;
constexpr int32_t kTagCompression = 259;
constexpr int32_t kTagStripOffsets = 273;
constexpr int32_t kTagSamplesPerPixel = 277;
constexpr int32_t kTagRowsPerStrip = 278;
constexpr int32_t kTagStripByteCounts = 279;
constexpr int32_t kTagSubIfds = 330;
constexpr int32_t kTagCfaRepeatPatternDim = 33421;
constexpr int32_t kTagCfaPattern = 33422;
constexpr int32_t kTagLinearizationTable = 50712;
constexpr int32_t kTagBlackLevelRepeatDim = 50713;
constexpr int32_t kTagBlackLevel = 50714;
constexpr int32_t kTagBlackLevelDeltaH = 50715;
constexpr int32_t kTagBlackLevelDeltaV = 50716;
constexpr int32_t kTagWhiteLevel = 50717;
constexpr int32_t kTagDefaultCropOrigin = 50719;
constexpr int32_t kTagDefaultCropSize = 50720;
constexpr int32_t kTagColorMatrix1 = 50721;
constexpr int32_t kTagCameraCalibration1 = 50723;
constexpr int32_t kTagAsShotNeutral = 50728;
constexpr int32_t kTagActiveArea = 50829;

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
