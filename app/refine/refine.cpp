#include "app/refine/refine.h"

namespace brevant {

ko::HRESULT RefineEdgeEnergy(const CSchedule& schedule, const CRunControl& control, CEdgeState& state,
                             ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation) {
  if (schedule.Reference()) return RefineEdgeEnergyReference(control, state, energy, orientation);
  return RefineEdgeEnergyFast(schedule, control, state, energy, orientation);
}

ko::HRESULT RefineEdgeEnergyStreamed(const CSchedule& schedule, const CRunControl& control, CEdgeState& state,
                                     ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation,
                                     bool histogramsZero, const RowsDoneFn& rowsDone, int32_t bandRows,
                                     const ko::CTypedImg<float>* source) {
  if (!schedule.Reference())
    return RefineEdgeEnergyFast(schedule, control, state, energy, orientation, histogramsZero, rowsDone, bandRows,
                                source);
  // The reference form finishes every row at once.
  if (bandRows > 0) return ko::E_INVALIDARG;
  const ko::HRESULT hr = RefineEdgeEnergyReference(control, state, energy, orientation);
  if (hr >= 0 && rowsDone) rowsDone(0, energy.height);
  return hr;
}

uint64_t RefineBytes(const CSchedule& schedule, int32_t w, int32_t h, int32_t passes, bool histograms) {
  return schedule.Reference() ? RefineReferenceBytes(w, h, histograms)
                              : RefineFastBytes(schedule.Threads(), w, h, passes, histograms);
}

}  // namespace brevant
