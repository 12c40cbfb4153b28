// The normalisation row compiled once per lane width from the one rule.
#include "app/contrast/contrast_lanes.h"

#include "app/lanes/lanes.h"
#include "ko/filter/row_sums.h"

namespace brevant {
namespace {

namespace scalar {
#include "app/contrast/contrast_rule.h"
}  // namespace scalar

#if defined(BREVANT_X86)
namespace sse2 {
#include "app/contrast/contrast_rule.h"
}  // namespace sse2

BREVANT_TARGET_BEGIN_AVX2
namespace avx2 {
#include "app/contrast/contrast_rule.h"
}  // namespace avx2
BREVANT_TARGET_END

BREVANT_TARGET_BEGIN_AVX512
namespace avx512 {
#include "app/contrast/contrast_rule.h"
}  // namespace avx512
BREVANT_TARGET_END
#endif

}  // namespace

SContrastLanes ContrastLanesFor(const ko::CpuFeatures& cpu) {
  SContrastLanes t;
  t.normalizeRow = scalar::NormalizeRow<lanes::Scalar>;
  t.filterPaddedRow = ko::FilterPaddedRowScalar;
  t.sumScaledRows = ko::SumScaledRowsScalar;
#if defined(BREVANT_X86)
  if (cpu.sse2) {
    t.normalizeRow = sse2::NormalizeRow<lanes::Sse2>;
    t.filterPaddedRow = ko::FilterPaddedRowSse2;
    t.sumScaledRows = ko::SumScaledRowsSse2;
  }
  if (cpu.avx2) {
    t.normalizeRow = avx2::NormalizeRow<lanes::Avx2>;
    t.filterPaddedRow = ko::FilterPaddedRowAvx2;
    t.sumScaledRows = ko::SumScaledRowsAvx2;
  }
  if (cpu.avx512) t.normalizeRow = avx512::NormalizeRow<lanes::Avx512>;
#else
  (void)cpu;
#endif
  return t;
}

}  // namespace brevant
