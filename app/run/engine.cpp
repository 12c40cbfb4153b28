#include "app/run/engine.h"

#include <cstdio>

#include "app/contrast/contrast.h"
#include "app/float_plane.h"
#include "app/output/result_file_sink.h"
#include "app/refine/refine.h"
#include "app/run/memory_estimate.h"
#include "app/steerable/steerable.h"
#include "ko/platform/ko_buffer.h"

namespace brevant {
namespace {

SRunStatus Failure(const CRunControl& control, ko::HRESULT hr, std::string reason) {
  control.Log().Printf("%s\n", reason.c_str());
  return SRunStatus{hr, std::move(reason)};
}

SRunStatus StageFailure(const CRunControl& control, const char* stage, ko::HRESULT hr) {
  if (hr == ko::E_ABORT) return Failure(control, hr, "The run was cancelled.");
  if (hr == ko::E_OUTOFMEMORY) return Failure(control, hr, std::string("Out of memory while ") + stage + ".");
  return Failure(control, hr, std::string("Failed while ") + stage + " (" + ko::ResultName(hr) + ").");
}

// Abandons the sink unless the run got as far as committing it.
class CSinkGuard {
 public:
  explicit CSinkGuard(CResultSink& sink) : sink_(sink) {}
  ~CSinkGuard() {
    if (!done_) sink_.Abandon();
  }
  CSinkGuard(const CSinkGuard&) = delete;
  CSinkGuard& operator=(const CSinkGuard&) = delete;
  void Done() { done_ = true; }

 private:
  CResultSink& sink_;
  bool done_ = false;
};

// A plane of the result: the sink's own memory, or a new plane of the engine's, +0
// throughout unless `cleared` is false (the stage writes every pixel then). New memory is
// zero already, so only memory that was there before is cleared.
ko::HRESULT MakePlane(CResultSink& sink, int32_t p, int32_t w, int32_t h, bool cleared, ko::CTypedImg<float>& plane) {
  bool zero = false;
  if (sink.PlaneMemory(p, w, h, &plane, &zero)) return zero || !cleared ? ko::S_OK : plane.Clear();
  const bool fresh = !plane.HasMemory();
  const ko::HRESULT hr = plane.Create(w, h, 1, 4, plane.type, 0);
  if (hr < 0 || fresh) return hr;
  return plane.Clear();
}

// The histogram planes of a run that sends them through a band: views of one block of
// memory, which they leave behind again on every way out (a band holds no whole plane: the
// histograms are in the sink only).
class CBandPlanes {
 public:
  CBandPlanes(CEdgeState& state, bool bands) : state_(state), bands_(bands) {}
  ~CBandPlanes() {
    if (bands_)
      for (ko::CTypedImg<float>& plane : state_.histograms) plane = ko::CTypedImg<float>();
  }
  CBandPlanes(const CBandPlanes&) = delete;
  CBandPlanes& operator=(const CBandPlanes&) = delete;

  // kHistogramBandRows rows of w floats a plane, zero; false when the memory cannot be had.
  bool Attach(ko::CKoBuffer<float>* band, int32_t w) {
    const size_t planeFloats = static_cast<size_t>(w) * kHistogramBandRows;
    if (!band->AllocateLarge(planeFloats * kHistogramBins)) return false;
    for (int32_t k = 0; k < kHistogramBins; ++k) {
      ko::CTypedImg<float>& plane = state_.histograms[static_cast<size_t>(k)];
      if (plane.Attach(band->get() + planeFloats * static_cast<size_t>(k), w, kHistogramBandRows, 1,
                       w * static_cast<int32_t>(sizeof(float)), 4, plane.type) < 0)
        return false;
    }
    return true;
  }

 private:
  CEdgeState& state_;
  const bool bands_;
};

}  // namespace

bool HistogramsInBands(const CSchedule& schedule, int32_t w, int32_t h, bool histograms, int32_t passes) {
  return histograms && !schedule.Reference() && RefinementStreamsRows(w, h, passes) && h > kHistogramBandRows;
}

SRunStatus AnalyzeIntensity(const ko::CTypedImg<float>& input, CEdgeState& state, const CSchedule& schedule,
                            CResultSink& sink, const CRunControl& control) {
  CRunLog& log = control.Log();
  if (!IsFloatPlane(input)) return Failure(control, ko::E_INVALIDARG, "There is no intensity image to analyse.");
  const int32_t w = input.width;
  const int32_t h = input.height;
  std::string why;
  if (!sink.Prepare(&why)) return Failure(control, ko::E_INVALIDARG, why);

  // Every plane is one block of at most 4 GB.
  const uint64_t planeBytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * sizeof(float);
  if (planeBytes > UINT32_MAX) {
    char text[128];
    std::snprintf(text, sizeof text, "The image of %d x %d pixels is too large: one plane of it would exceed 4 GB.",
                  w, h);
    return Failure(control, ko::E_INVALIDARG, text);
  }
  // The fast form may send the histograms through a band of rows, never holding them whole.
  const bool histograms = state.computeHistograms;
  const bool bands = !state.keepHistogramPlanes && sink.TakesHistogramBands() &&
                     HistogramsInBands(schedule, w, h, histograms, state.iterations);
  // Declared before the guard, which may wait for the sink's writes out of the band.
  ko::CKoBuffer<float> band;
  CBandPlanes bandPlanes(state, bands);
  CSinkGuard guard(sink);
  uint64_t available = 0;
  const uint64_t needed = RunRequiredBytes(schedule, w, h, histograms, state.sigma, state.iterations, bands);
  if (ReadAvailableMemory(&available) && needed > available)
    return Failure(control, ko::E_OUTOFMEMORY, NotEnoughMemoryText(w, h, needed, available));
  if (control.Cancelled()) return StageFailure(control, "", ko::E_ABORT);

  // Opened before any work, so that an unwritable folder is reported at once.
  if (!sink.Open(w, h, histograms ? 3 + kHistogramBins : 3, &why)) return Failure(control, ko::E_FAIL, why);

  // The histogram planes exist, all zero, even when no histograms were asked for; untouched,
  // they take no memory then. A band is one block of page-aligned rows, which the result file
  // can write past the page cache.
  const int32_t histogramRows = bands ? kHistogramBandRows : h;
  if (bands && !bandPlanes.Attach(&band, w))
    return StageFailure(control, "preparing the result planes", ko::E_OUTOFMEMORY);
  ko::CTypedImg<float> refined;
  for (int32_t k = 0; k < kHistogramBins && !bands; ++k) {
    ko::CTypedImg<float>& plane = state.histograms[static_cast<size_t>(k)];
    const ko::HRESULT hr =
        histograms ? MakePlane(sink, 3 + k, w, h, true, plane) : MakePlane(sink, -1, w, histogramRows, true, plane);
    if (hr < 0) return StageFailure(control, "preparing the result planes", ko::E_OUTOFMEMORY);
  }
  if (MakePlane(sink, 0, w, h, false, state.energy) < 0 || MakePlane(sink, 1, w, h, false, state.orientation) < 0)
    return StageFailure(control, "preparing the result planes", ko::E_OUTOFMEMORY);

  log.Printf("Computing steerable filters sigma = %f.\n", static_cast<double>(state.sigma));
  ko::HRESULT hr = ComputeSteerableEnergy(schedule, state.sigma, input, state.energy, state.orientation);
  if (hr < 0) return StageFailure(control, "computing the steerable filters", hr);
  if (control.Cancelled()) return StageFailure(control, "", ko::E_ABORT);
  hr = NormalizeLocalContrast(schedule, state, state.energy);
  if (hr < 0) return StageFailure(control, "normalising the local contrast", hr);
  if (!sink.TakePlane(0, state.energy, &why) || !sink.TakePlane(1, state.orientation, &why))
    return Failure(control, ko::E_FAIL, why);
  if (control.Cancelled()) return StageFailure(control, "", ko::E_ABORT);

  // The refined energy: in the sink's plane 2, or else in place of plane 0, which the sink
  // has taken.
  bool zero = false;
  if (!sink.PlaneMemory(2, w, h, &refined, &zero)) refined = state.energy;
  hr = state.normalized.CopyTo(&refined);
  if (hr < 0) return StageFailure(control, "refining the edges", hr);
  const CBinPlanes* rowsOfHistograms = histograms ? &state.histograms : nullptr;
  hr = RefineEdgeEnergyStreamed(
      schedule, control, state, refined, state.orientation, true,
      [&](int32_t y0, int32_t y1) { sink.TakeRows(refined, rowsOfHistograms, histogramRows, y0, y1); },
      bands ? kHistogramBandRows : 0, &state.normalized);
  if (hr < 0) return StageFailure(control, "refining the edges", hr);

  if (!sink.Commit(log, &why)) return Failure(control, ko::E_FAIL, why);
  guard.Done();
  state.energy = refined;
  return SRunStatus{};
}

int RunEdgeAnalysis(const ko::CTypedImg<float>& input, const std::string& path, CEdgeState& state,
                    const CSchedule& schedule, const std::atomic<bool>* cancel) {
  CStdoutLog log;
  const CRunControl control(&log, cancel);
  CResultFileSink sink(path);
  return AnalyzeIntensity(input, state, schedule, sink, control).Ok() ? 0 : 1;
}

}  // namespace brevant
