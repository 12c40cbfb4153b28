// Local contrast normalisation of the oriented energy.
#pragma once

#include "app/edge_state.h"

namespace brevant {

// state.normalized = max(0, 150 (B - mean) / max(10, local deviation)), with the local mean
// and variance taken by a 13-tap Gaussian of sigma 2 over a replicated border. `energy` (B)
// is only read. state.normalized is created with B's size unless it already has that size.
// A NaN in B stays NaN. E_INVALIDARG for an energy that is not a 1-band float plane,
// E_OUTOFMEMORY when a plane or the filter cannot be allocated.
ko::HRESULT NormalizeLocalContrast(CEdgeState& state, ko::CTypedImg<float> energy);

}  // namespace brevant
