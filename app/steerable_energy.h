// Oriented energy and orientation from the steerable quadrature pair G2/H2 (the second
// derivative of a Gaussian and its polynomial Hilbert-transform approximation).
#pragma once
#include <cstdint>

#include "ko/core/img.h"
#include "ko/filter/kernel.h"

namespace brevant {

// The six distinct 1-D kernels of one sigma, normalised by the sum of |g|; tap t stands for
// the offset t - radius.
struct SSteerableKernels {
  int32_t radius = 0;
  float step = 0.0f;  // sample spacing 2.68 / sigma
  float norm = 0.0f;  // sum of |g| before normalising
  ko::CKernel a, g, b, c, d, f;  // 2 radius + 1 taps each, centre radius
};

// Builds the kernels of `sigma` (> 0, with 2 sigma below 2^30); E_OUTOFMEMORY when the taps
// cannot be allocated.
ko::HRESULT BuildSteerableKernels(float sigma, SSteerableKernels* kernels);

// Clears `energy` and `orientation` (1-band float, the input's size) and fills them inside a
// border of r = trunc(2 sigma): energy 10 (C1^2 + C2^2)^(1/4) >= 0 and orientation
// atan2(-h2a, h2d) + pi in [0, 2 pi]. The seven basis filters are applied as correlations,
// a horizontal then a vertical pass, taps outside the image dropped without renormalising.
// E_INVALIDARG for a sigma not above 0, a radius too large, or images that do not match;
// E_OUTOFMEMORY when the working planes cannot be created (the outputs are then unchanged).
// The fast form unless the plain forms were asked for (pipeline_options.h).
ko::HRESULT ComputeSteerableEnergy(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
                                   ko::CTypedImg<float> orientation);

// The plain form, one thread, the reference of the fast one: every response plane in full.
ko::HRESULT ComputeSteerableEnergyPlain(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
                                        ko::CTypedImg<float> orientation);
// The fast form: rows streamed through small rings, SIMD across pixels, rows split over
// the worker threads. The same bits as the plain form.
ko::HRESULT ComputeSteerableEnergyFast(float sigma, ko::CTypedImg<float> input, ko::CTypedImg<float> energy,
                                       ko::CTypedImg<float> orientation);

}  // namespace brevant
