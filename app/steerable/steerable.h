// Oriented energy and orientation from the steerable quadrature pair G2/H2, the first stage
// of a run.
#pragma once
#include <cstdint>

#include "app/schedule.h"
#include "ko/core/img.h"

namespace brevant {

// Clears `energy` and `orientation` (1-band float, the input's size) and fills them inside a
// border of r = trunc(2 sigma): energy 10 (C1^2 + C2^2)^(1/4) >= 0 and orientation
// atan2(-h2a, h2d) + pi in [0, 2 pi]. The seven basis filters are applied as correlations,
// a horizontal then a vertical pass, taps outside the image dropped without renormalising.
// E_INVALIDARG for a sigma not above 0, a radius too large, or images that do not match;
// E_OUTOFMEMORY when the working memory cannot be had (the outputs are then unchanged).
// The schedule's form does the work.
ko::HRESULT ComputeSteerableEnergy(const CSchedule& schedule, float sigma, ko::CTypedImg<float> input,
                                   ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation);

// The reference form, one thread, every response plane in full: the oracle of the fast one.
ko::HRESULT ComputeSteerableEnergyReference(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
                                            ko::CTypedImg<float> orientation);
// The fast form: vertical strips of the interior streamed through small rings of filtered
// rows, across pixels in the schedule's lanes, strips spread over its threads. The same bits.
ko::HRESULT ComputeSteerableEnergyFast(const CSchedule& schedule, float sigma, ko::CTypedImg<float> input,
                                       ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation);

// Working memory the schedule's form allocates for a w x h image (the planes it is handed
// not counted), and that of each form.
uint64_t SteerableBytes(const CSchedule& schedule, int32_t w, int32_t h, float sigma);
uint64_t SteerableReferenceBytes(int32_t w, int32_t h, float sigma);
uint64_t SteerableFastBytes(int32_t threads, int32_t w, int32_t h, float sigma);

// E_INVALIDARG unless sigma is above 0 with a radius below 2^30 and the three planes are
// 1-band float planes of one size.
ko::HRESULT CheckSteerableArguments(float sigma, const ko::CTypedImg<float>& input,
                                    const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation);

}  // namespace brevant
