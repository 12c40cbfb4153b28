// The orientation-histogram steps of the reference refinement: every interior pixel votes
// its normalised energy into the two of 36 orientation bins (bin k at k x 10 degrees) that
// bracket its orientation, and each bin's votes are propagated like the energy.
#pragma once

#include "app/edge_state.h"
#include "app/refine/support_sampler.h"
#include "app/run_control.h"

namespace brevant {

// The five working lists of 36 planes each.
struct SHistogramPlanes {
  CBinPlanes votes;         // V: fixed during the passes
  CBinPlanes forward;       // FB: forward support of the previous pass
  CBinPlanes backward;      // KB: backward support of the previous pass
  CBinPlanes forwardNext;   // FBn: forward support of the current pass
  CBinPlanes backwardNext;  // KBn: backward support of the current pass
};

// Creates every plane with w x h; E_OUTOFMEMORY if one cannot be created.
ko::HRESULT CreateHistogramPlanes(SHistogramPlanes& planes, int32_t w, int32_t h);

// Clears the votes, casts them for 2 <= x < W - 2, 2 <= y < H - 2 from the normalised
// energy and the orientation, and copies them into the forward and backward lists. A pixel
// whose orientation has no bin logs "ERROR %d %d %d\n" (x, y, bin) and casts no vote.
void CastOrientationVotes(const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation,
                          SHistogramPlanes& planes, CRunLog& log);

// The current pass's per-bin support of pixels first <= x < end of row y, from the energy
// samples' geometries of that row (index x): bin after bin, each swept along the row.
void SampleHistogramRow(const SSupportGeometry* forwardPoints, const SSupportGeometry* backwardPoints, int32_t y,
                        int32_t first, int32_t end, SHistogramPlanes& planes);

// Clears the current-pass planes (start of a pass); copies them over the previous (end).
void ClearHistogramPass(SHistogramPlanes& planes);
void FinishHistogramPass(SHistogramPlanes& planes);

// histograms[k] += FB[k] + KB[k] inside a 5-pixel margin: the last pass's support, or twice
// the votes when no pass ran.
void AccumulateHistograms(const SHistogramPlanes& planes, CBinPlanes& histograms);

}  // namespace brevant
