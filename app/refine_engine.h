// The fast form of the refinement passes (and of the histograms that ride along with them).
//
// Instead of whole planes pass after pass, the passes run as a wavefront down the image:
// pass j works on rows a few rows behind pass j - 1, reading only the rows of it that it
// needs, so each pass keeps just a small ring of rows and the two double buffers of every
// plane (and the 180 histogram working planes) are never made. A pass's rows depend only on
// the previous pass, so all rows of one step of the wavefront are independent: each step's
// rows are spread over the worker threads, and the results cannot depend on the split.
// For very many passes the wavefront is cut into sweeps that hand over through one whole
// buffer, so that the rings never outgrow the planes they replace.
#pragma once
#include <cstdint>
#include <functional>

#include "app/edge_state.h"
#include "app/orientation_histograms.h"

namespace brevant {

// Told, on the calling thread, that rows [y0, y1) of the energy and of the histograms hold
// their final values; each row is told once, in order.
using RowsDoneFn = std::function<void(int32_t y0, int32_t y1)>;

// RefineEdgeEnergyFast (edge_refinement.h), telling `rowsDone` about rows as they become
// final, so that they can be written while the passes go on. `histogramsZero`: the caller
// knows every histogram plane holds +0 (so the passes only write them, never read them).
//
// `bandRows` > 0: the histogram planes given in the state hold only that many rows, +0 at
// first, row y in row y % bandRows (the caller writes them out through rowsDone before the
// rows are used again); rows outside the refined margin are set to +0 there. The planes must
// then be bandRows high and RefinementStreamsRows must hold.
ko::HRESULT RefineEdgeEnergyStreamed(CEdgeState& state, ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation,
                                     bool histogramsZero, const RowsDoneFn& rowsDone, int32_t bandRows = 0);

// Whether the passes run as a wavefront (and tell their rows in steps of at most 8 rows),
// rather than finishing the image at once.
bool RefinementStreamsRows(int32_t w, int32_t h, int32_t passes);
// Rows of the program's histogram band: it writes 16 rows at a time and waits for all but the
// latest write before the passes go on, so 2 x 16 rows plus two steps of 8 are enough; small
// enough to stay in the cache between the passes and the writes.
constexpr int32_t kHistogramBandRows = 48;

// Bytes of the buffers the fast refinement allocates for a w x h image (besides the planes
// it is given), with `threads` worker threads; for the driver's memory check.
uint64_t RefinementWavefrontBytes(int32_t w, int32_t h, int32_t passes, bool histograms, int32_t threads);

}  // namespace brevant
