// The taps of the steerable quadrature pair G2/H2 (the second derivative of a Gaussian and
// its polynomial Hilbert-transform approximation): six distinct 1-D kernels, and which two
// of them make each of the seven separable basis filters.
#pragma once
#include <cstdint>

#include "ko/filter/kernel.h"

namespace brevant {

// The six kernels of one sigma, normalised by the sum of |g|; tap t stands for the offset
// t - radius.
struct SSteerableKernels {
  int32_t radius = 0;
  float step = 0.0f;  // sample spacing 2.68 / sigma
  float norm = 0.0f;  // sum of |g| before normalising
  ko::CKernel a, g, b, c, d, f;  // 2 radius + 1 taps each, centre radius
};

// Builds the kernels of `sigma` (> 0, with 2 sigma below 2^30); E_OUTOFMEMORY when the taps
// cannot be allocated.
ko::HRESULT BuildSteerableKernels(float sigma, SSteerableKernels* kernels);

// Basis filters G2a, G2b, G2c, H2a, H2b, H2c, H2d: each a horizontal pass with the first
// kernel of its pair, then a vertical pass with the second, both as correlations.
constexpr int kBasisFilters = 7;
using KernelMember = ko::CKernel SSteerableKernels::*;
constexpr KernelMember kBasisKernels[kBasisFilters][2] = {
    {&SSteerableKernels::a, &SSteerableKernels::g}, {&SSteerableKernels::b, &SSteerableKernels::b},
    {&SSteerableKernels::g, &SSteerableKernels::a}, {&SSteerableKernels::c, &SSteerableKernels::g},
    {&SSteerableKernels::f, &SSteerableKernels::d}, {&SSteerableKernels::d, &SSteerableKernels::f},
    {&SSteerableKernels::g, &SSteerableKernels::c},
};

}  // namespace brevant
