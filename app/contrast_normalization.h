// Local contrast normalisation of the oriented energy.
#pragma once

#include "app/edge_state.h"

namespace brevant {

// state.normalized = max(0, 150 (B - mean) / max(10, local deviation)), with the local mean
// and variance taken by a 13-tap Gaussian of sigma 2 over a replicated border. `energy` (B)
// is only read. state.normalized is created with B's size unless it already has that size.
// A NaN in B stays NaN. E_INVALIDARG for an energy that is not a 1-band float plane,
// E_OUTOFMEMORY when a plane or the filter cannot be allocated.
// The fast form unless the plain forms were asked for (pipeline_options.h).
ko::HRESULT NormalizeLocalContrast(CEdgeState& state, ko::CTypedImg<float> energy);

// The plain form: three whole temporary planes and FilterImage; the reference.
ko::HRESULT NormalizeLocalContrastPlain(CEdgeState& state, ko::CTypedImg<float> energy);
// The fast form: both planes smoothed in one sweep of row bands over the worker threads,
// the result formed as the rows come. The same bits as the plain form.
ko::HRESULT NormalizeLocalContrastFast(CEdgeState& state, ko::CTypedImg<float> energy);

// The two smoothings of the fast form alone: the local mean of B and of B^2 (13-tap Gaussian
// of sigma 2, replicated border) into planes of B's size, as FilterImage gives them. For
// measuring and testing the smoothing by itself.
ko::HRESULT SmoothForContrastFast(const ko::CTypedImg<float>& energy, ko::CTypedImg<float>& mean,
                                  ko::CTypedImg<float>& meanSquares);

}  // namespace brevant
