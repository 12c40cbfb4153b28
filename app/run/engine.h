// The engine: one analysis of a float intensity image with given parameters and schedule,
// its planes handed to a sink (the result file, or memory a caller owns). Re-entrant: runs
// with their own schedules and sinks may go on at the same time in one process.
#pragma once
#include <cstdint>
#include <string>

#include "app/edge_state.h"
#include "app/output/result_sink.h"
#include "app/run_control.h"
#include "app/schedule.h"

namespace brevant {

struct SRunStatus {
  ko::HRESULT hr = ko::S_OK;  // E_ABORT: cancelled; E_OUTOFMEMORY: memory refused or failed
  std::string reason;         // for a failure: the words why, as the log also got them
  bool Ok() const { return hr >= 0; }
};

// Runs every stage on `input` (a 1-band float image, only read) with the parameters of
// `state` (sigma, iterations, computeHistograms, keepHistogramPlanes), whose planes it makes
// (or takes from the sink), and hands the planes to `sink`: 0 energy, 1 orientation, 2 the
// refined energy and, with histograms, 3 + k bin k. Logs the run's progress; a failure's
// words go to the log too, on a line of their own. Before any work it refuses what cannot
// succeed: no intensity image, what the sink refuses, a plane beyond 4 GB, more memory than
// the machine has. On failure or cancellation the sink is abandoned. Afterwards
// state.energy is the refined energy and state.normalized the normalised one; the
// histogram planes are whole unless the sink took them as a band.
SRunStatus AnalyzeIntensity(const ko::CTypedImg<float>& input, CEdgeState& state, const CSchedule& schedule,
                            CResultSink& sink, const CRunControl& control);

// Whether a run on `schedule` whose sink takes bands and which keeps no histogram planes
// sends the histograms through a band of rows rather than whole planes.
bool HistogramsInBands(const CSchedule& schedule, int32_t w, int32_t h, bool histograms, int32_t passes);

// The program's run: AnalyzeIntensity into the result file named after `path` (its last
// three characters replaced by "edg"), progress and failures on standard output. Returns 0
// on success, 1 when the run failed; a failed run leaves no result file behind and keeps an
// earlier one.
int RunEdgeAnalysis(const ko::CTypedImg<float>& input, const std::string& path, CEdgeState& state,
                    const CSchedule& schedule, const std::atomic<bool>* cancel = nullptr);

}  // namespace brevant
