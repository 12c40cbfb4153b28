// TEMPORARY: the fast forms are not written yet.
#include "app/contrast_normalization.h"
#include "app/edge_refinement.h"
#include "app/steerable_energy.h"
namespace brevant {
ko::HRESULT ComputeSteerableEnergyFast(float s, ko::CTypedImg<float> i, ko::CTypedImg<float> e, ko::CTypedImg<float> o) { return ComputeSteerableEnergyPlain(s, i, e, o); }
ko::HRESULT NormalizeLocalContrastFast(CEdgeState& s, ko::CTypedImg<float> e) { return NormalizeLocalContrastPlain(s, e); }
}
