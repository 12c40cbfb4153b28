// The steerable row kernels compiled once per lane width from the one rule.
#include "app/steerable/steerable_lanes.h"

#include "app/float_math.h"
#include "app/lanes/lanes.h"

namespace brevant {
namespace {

namespace scalar {
#include "app/steerable/steerable_rule.h"
#include "app/steerable/steerable_rows.h"
}  // namespace scalar

#if defined(BREVANT_X86)
namespace sse2 {
#include "app/steerable/steerable_rule.h"
#include "app/steerable/steerable_rows.h"
}  // namespace sse2

BREVANT_TARGET_BEGIN_AVX2
namespace avx2 {
#include "app/steerable/steerable_rule.h"
#include "app/steerable/steerable_rows.h"
}  // namespace avx2
BREVANT_TARGET_END

BREVANT_TARGET_BEGIN_AVX512
namespace avx512 {
#include "app/steerable/steerable_rule.h"
#include "app/steerable/steerable_rows.h"
}  // namespace avx512
BREVANT_TARGET_END
#endif

template <class L, void (*Sum)(const double* const*, const double*, int32_t, int32_t, double*),
          void (*Combine)(const double* const*, int32_t, float*, float*)>
SSteerableLanes Table() {
  SSteerableLanes t;
  t.sumRows = Sum;
  t.combineRow = Combine;
  t.lanes = L::kLanes;
  return t;
}

}  // namespace

SSteerableLanes SteerableLanesFor(const ko::CpuFeatures& cpu) {
#if defined(BREVANT_X86)
  if (cpu.avx512)
    return Table<lanes::Avx512, avx512::SumRows<lanes::Avx512>, avx512::CombineRow<lanes::Avx512>>();
  if (cpu.avx2) return Table<lanes::Avx2, avx2::SumRows<lanes::Avx2>, avx2::CombineRow<lanes::Avx2>>();
  if (cpu.sse2) return Table<lanes::Sse2, sse2::SumRows<lanes::Sse2>, sse2::CombineRow<lanes::Sse2>>();
#endif
  (void)cpu;
  return Table<lanes::Scalar, scalar::SumRows<lanes::Scalar>, scalar::CombineRow<lanes::Scalar>>();
}

}  // namespace brevant
