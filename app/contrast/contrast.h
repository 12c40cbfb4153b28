// Local contrast normalisation of the oriented energy, the second stage of a run.
#pragma once
#include <cstdint>

#include "app/edge_state.h"
#include "app/schedule.h"
#include "ko/filter/gaussian_kernel.h"

namespace brevant {

// state.normalized = max(0, 150 (B - mean) / max(10, local deviation)), with the local mean
// and variance taken by a 13-tap Gaussian of sigma 2 over a replicated border. `energy` (B)
// is only read. state.normalized is created with B's size unless it already has that size.
// A NaN in B stays NaN. E_INVALIDARG for an energy that is not a 1-band float plane,
// E_OUTOFMEMORY when a plane or the filter cannot be allocated. The schedule's form does
// the work.
ko::HRESULT NormalizeLocalContrast(const CSchedule& schedule, CEdgeState& state, ko::CTypedImg<float> energy);

// The reference form: three whole temporary planes and FilterImage; the oracle.
ko::HRESULT NormalizeLocalContrastReference(CEdgeState& state, ko::CTypedImg<float> energy);
// The fast form: both planes smoothed in one sweep of row bands over the schedule's threads,
// the result formed as the rows come. The same bits.
ko::HRESULT NormalizeLocalContrastFast(const CSchedule& schedule, CEdgeState& state, ko::CTypedImg<float> energy);

// The two smoothings of the fast form alone: the local means of B and of B^2 into planes of
// B's size, as FilterImage gives them. For measuring and testing the smoothing by itself.
ko::HRESULT SmoothForContrastFast(const CSchedule& schedule, const ko::CTypedImg<float>& energy,
                                  ko::CTypedImg<float>& mean, ko::CTypedImg<float>& meanSquares);

// The smoothing kernel: a Gaussian of sigma 2 and width factor 3 (13 taps summing to 1).
ko::HRESULT BuildContrastKernel(ko::CGaussianKernel* kernel);

// Working memory the schedule's form allocates for a w x h energy plane, the normalised
// plane not counted; and that of each form.
uint64_t ContrastBytes(const CSchedule& schedule, int32_t w, int32_t h);
uint64_t ContrastReferenceBytes(int32_t w, int32_t h);
uint64_t ContrastFastBytes(int32_t threads, int32_t w, int32_t h);

}  // namespace brevant
