#include "app/contrast/contrast.h"

#include <algorithm>

namespace brevant {

ko::HRESULT BuildContrastKernel(ko::CGaussianKernel* kernel) { return kernel->Build(2.0f, 0, 3.0f); }

ko::HRESULT NormalizeLocalContrast(const CSchedule& schedule, CEdgeState& state, ko::CTypedImg<float> energy) {
  if (schedule.Reference()) return NormalizeLocalContrastReference(state, energy);
  return NormalizeLocalContrastFast(schedule, state, energy);
}

uint64_t ContrastBytes(const CSchedule& schedule, int32_t w, int32_t h) {
  return schedule.Reference() ? ContrastReferenceBytes(w, h) : ContrastFastBytes(schedule.Threads(), w, h);
}

}  // namespace brevant
