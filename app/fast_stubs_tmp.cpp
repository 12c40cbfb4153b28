// TEMPORARY: the fast forms are not written yet.
#include "app/contrast_normalization.h"
#include "app/edge_refinement.h"
#include "app/steerable_energy.h"
namespace brevant {
ko::HRESULT NormalizeLocalContrastFast(CEdgeState& s, ko::CTypedImg<float> e) { return NormalizeLocalContrastPlain(s, e); }
}
