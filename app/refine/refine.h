// Iterative refinement, the last stage of a run: edge points that continue one another along
// their orientation reinforce each other, pass after pass, and the orientation histograms
// ride along when they are asked for.
#pragma once
#include <cstdint>
#include <functional>

#include "app/edge_state.h"
#include "app/run_control.h"
#include "app/schedule.h"

namespace brevant {

// Runs state.iterations passes (none when 0 or less) over `energy` (the normalised energy B)
// guided by `orientation` (radians, 0 to 2 pi), then adds the last pass's forward and backward
// support to B inside a 5-pixel margin. With state.computeHistograms, also propagates the
// orientation histograms into state.histograms (added to what they hold; created zero when
// they do not have B's size). Logs "Number of iterations = %d\n" and one "." per pass, and
// "ERROR x y bin\n" for a pixel whose orientation has no bin. E_INVALIDARG for planes that do
// not match, E_OUTOFMEMORY when the working memory cannot be had (nothing has changed
// then), E_ABORT when the run was cancelled (the planes are then undefined). The schedule's
// form does the work.
ko::HRESULT RefineEdgeEnergy(const CSchedule& schedule, const CRunControl& control, CEdgeState& state,
                             ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation);

// The reference form, pass after pass over whole planes, one thread: the oracle.
ko::HRESULT RefineEdgeEnergyReference(const CRunControl& control, CEdgeState& state, ko::CTypedImg<float> energy,
                                      ko::CTypedImg<float> orientation);

// Told, on the calling thread, that rows [y0, y1) of the energy and of the histograms hold
// their final values; each row is told once, in order.
using RowsDoneFn = std::function<void(int32_t y0, int32_t y1)>;

// The fast form (refine_schedule.cpp): the same bits, the same messages; the last four
// arguments as RefineEdgeEnergyStreamed's.
ko::HRESULT RefineEdgeEnergyFast(const CSchedule& schedule, const CRunControl& control, CEdgeState& state,
                                 ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation,
                                 bool histogramsZero = false, const RowsDoneFn& rowsDone = RowsDoneFn(),
                                 int32_t bandRows = 0, const ko::CTypedImg<float>* source = nullptr);

// RefineEdgeEnergy, telling `rowsDone` about rows as they become final, so that they can be
// written while the passes go on (the reference form tells all rows at the end). The rows
// come in order, one call at a time, from the calling thread or one of the schedule's.
// `histogramsZero`: the caller knows every histogram plane holds +0, so that the passes only
// write them, never read them.
//
// `bandRows` > 0 (fast form only): the histogram planes given in the state hold only that
// many rows, +0 at first, row y in row y % bandRows (the caller writes them out through
// rowsDone before the rows are used again); rows outside the refined margin are set to +0
// there. The planes must then be bandRows high and RefinementStreamsRows must hold.
//
// `source` (optional): a plane of the energy's size holding the values `energy` holds at the
// start, which stays as it is during the run (the caller's copy of the normalised energy).
// The fast form then reads the energy every pass adds from it instead of a copy of its own.
ko::HRESULT RefineEdgeEnergyStreamed(const CSchedule& schedule, const CRunControl& control, CEdgeState& state,
                                     ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation,
                                     bool histogramsZero, const RowsDoneFn& rowsDone, int32_t bandRows = 0,
                                     const ko::CTypedImg<float>* source = nullptr);

// Whether the fast passes run as a wavefront (and tell their rows in steps of at most
// kRefineRowsAtOnce rows), rather than finishing the image at once.
bool RefinementStreamsRows(int32_t w, int32_t h, int32_t passes);
constexpr int32_t kRefineStepRows = 8;     // the wavefront's step
constexpr int32_t kRefineRowsAtOnce = 64;  // the most rows told at once (a strip's few steps)
// How many sets of kRefineRowsAtOnce rows the passes may make beyond those told: threads that
// run on their own need not wait for each other after every set.
constexpr int32_t kRefineSetsAhead = 1;
// Rows of a histogram band that a writer taking at least kBandRowsPerWrite rows at a time
// and waiting for all but its latest write can use: while it tells the latest rows, its
// write before (the rows it had kept back, fewer than kBandRowsPerWrite, and the rows told
// before) and the latest rows are in flight, and the passes make the rows ahead.
constexpr int32_t kBandRowsPerWrite = 16;
constexpr int32_t kHistogramBandRows = 208;
static_assert(kHistogramBandRows >= (kBandRowsPerWrite - 1) + (2 + kRefineSetsAhead) * kRefineRowsAtOnce,
              "the band outlasts the writes in flight");

// Working memory the schedule's form allocates for a w x h image (the state's planes not
// counted), and that of each form.
uint64_t RefineBytes(const CSchedule& schedule, int32_t w, int32_t h, int32_t passes, bool histograms);
uint64_t RefineReferenceBytes(int32_t w, int32_t h, bool histograms);
uint64_t RefineFastBytes(int32_t threads, int32_t w, int32_t h, int32_t passes, bool histograms);

}  // namespace brevant
