#include "app/edge_pipeline.h"

#include <bit>
#include <cmath>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/contrast_normalization.h"
#include "app/float_plane.h"
#include "app/edge_refinement.h"
#include "app/memory_budget.h"
#include "app/pipeline_options.h"
#include "app/refine_engine.h"
#include "app/result_stream.h"
#include "app/result_file.h"
#include "app/steerable_energy.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

static_assert(std::endian::native == std::endian::little, "the result file holds little-endian floats");


struct SKoFree {
  void operator()(void* p) const { ko::KoFree(p); }
};


ko::HRESULT CreatePlane(ko::CTypedImg<float>& plane, int32_t w, int32_t h) {
  const ko::HRESULT hr = plane.Create(w, h, 1, 4, plane.type, 0);
  if (hr < 0) return hr;
  return plane.Clear();
}

// Packs the plane row after row into the staging buffer and writes it in one piece.
bool WritePlane(CResultFile& file, const ko::CTypedImg<float>& plane, float* staging) {
  const size_t rowFloats = static_cast<size_t>(plane.width);
  for (int32_t y = 0; y < plane.height; ++y)
    std::memcpy(staging + rowFloats * static_cast<size_t>(y), plane.Row(y), rowFloats * sizeof(float));
  return file.Write(staging, rowFloats * static_cast<size_t>(plane.height) * sizeof(float));
}

int ReportStageFailure(const char* stage, ko::HRESULT hr) {
  if (hr == ko::E_OUTOFMEMORY) std::printf("Out of memory while %s.\n", stage);
  else std::printf("Failed while %s (%s).\n", stage, ko::ResultName(hr));
  return 1;
}

int ReportWriteFailure(const std::string& name) {
  std::printf("Cannot write the result file %s: %s.\n", name.c_str(), std::strerror(errno));
  return 1;
}

}  // namespace

// Whether the fast driver sends the histograms through a band of rows.
bool HistogramsInBands(int32_t w, int32_t h, bool histograms, int32_t passes, bool keepHistogramPlanes) {
  return histograms && !keepHistogramPlanes && RefinementStreamsRows(w, h, passes) && h > kHistogramBandRows;
}

uint64_t FastRunRequiredBytes(int32_t w, int32_t h, bool histograms, float sigma, int32_t passes,
                              bool keepHistogramPlanes) {
  const uint64_t plane = static_cast<uint64_t>(w > 0 ? w : 0) * static_cast<uint64_t>(h > 0 ? h : 0) * sizeof(float);
  const int32_t threads = WorkerThreads();
  // energy, orientation, normalised, and the histogram planes (or bands) when they are filled
  uint64_t bytes = plane * 3;
  if (HistogramsInBands(w, h, histograms, passes, keepHistogramPlanes))
    bytes += static_cast<uint64_t>(w) * kHistogramBandRows * sizeof(float) * kHistogramBins;
  else if (histograms)
    bytes += plane * kHistogramBins;
  bytes += RefinementWavefrontBytes(w, h, passes, histograms, threads);
  // The steerable strips: a ring of 2 r + 1 rows of six kernels, 136 doubles wide, a thread.
  const double radius = sigma > 0.0f ? std::floor(std::fmin(2.0 * sigma, 1073741824.0)) : 0.0;
  bytes += static_cast<uint64_t>((2.0 * radius + 1.0) * 6.0 * 136.0 * 8.0 * threads);
  return bytes;
}

uint64_t RunRequiredBytes(int32_t w, int32_t h, bool histograms, float sigma, int32_t passes,
                          bool keepHistogramPlanes) {
  return PlainFormsInUse() ? RequiredBytes(w, h, histograms, sigma)
                           : FastRunRequiredBytes(w, h, histograms, sigma, passes, keepHistogramPlanes);
}

bool ResultFileName(const std::string& path, std::string* name) {
  if (path.size() < 3) return false;
  *name = path.substr(0, path.size() - 3) + "edg";
  return true;
}

namespace {

// The checks both drivers make before any work, with their messages: an intensity plane, a
// result name that is not the input's, planes of at most 4 GB, and the memory the run needs.
// On success `path` has lost its last three characters and `outputName` is the result's name.
bool StartRun(const ko::CTypedImg<float>& input, std::string& path, const CEdgeState& state, std::string* outputName) {
  if (!IsFloatPlane(input)) {
    std::printf("There is no intensity image to analyse.\n");
    return false;
  }
  const int32_t w = input.width;
  const int32_t h = input.height;
  if (!ResultFileName(path, outputName)) {
    std::printf("Cannot name the result file for \"%s\": the path must have at least three characters.\n",
                path.c_str());
    return false;
  }
  if (*outputName == path) {
    std::printf("The result file would replace the input file %s; rename the input first.\n", path.c_str());
    return false;
  }
  path.resize(path.size() - 3);
  // Every plane is one block of at most 4 GB.
  const uint64_t planeBytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * sizeof(float);
  if (planeBytes > UINT32_MAX) {
    std::printf("The image of %d x %d pixels is too large: one plane of it would exceed 4 GB.\n", w, h);
    return false;
  }
  uint64_t available = 0;
  const uint64_t needed =
      RunRequiredBytes(w, h, state.computeHistograms, state.sigma, state.iterations, state.keepHistogramPlanes);
  if (ReadAvailableMemory(&available) && needed > available) {
    ReportNotEnoughMemory(w, h, needed, available);
    return false;
  }
  return true;
}

// The plain driver: a staging plane for every write, the stages' plain forms.
int RunEdgeAnalysisPlain(ko::CTypedImg<float> input, std::string& path, CEdgeState& state) {
  const int32_t w = input.width;
  const int32_t h = input.height;
  std::string outputName;
  if (!StartRun(input, path, state, &outputName)) return 1;
  const uint64_t planeBytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * sizeof(float);

  std::unique_ptr<float, SKoFree> staging(static_cast<float*>(ko::KoMalloc(static_cast<size_t>(planeBytes))));
  if (!staging) return ReportStageFailure("preparing the result planes", ko::E_OUTOFMEMORY);

  // Created before any work, so that an unwritable folder is reported at once.
  CResultFile file;
  if (!file.Create(outputName)) {
    std::printf("Cannot create the result file %s: %s.\n", outputName.c_str(), std::strerror(errno));
    return 1;
  }

  // The histogram planes exist, all zero, even when no histograms were asked for.
  for (ko::CTypedImg<float>& plane : state.histograms)
    if (CreatePlane(plane, w, h) < 0) return ReportStageFailure("preparing the result planes", ko::E_OUTOFMEMORY);
  if (CreatePlane(state.energy, w, h) < 0 || CreatePlane(state.orientation, w, h) < 0)
    return ReportStageFailure("preparing the result planes", ko::E_OUTOFMEMORY);

  std::printf("Computing steerable filters sigma = %f.\n", static_cast<double>(state.sigma));
  ko::HRESULT hr = ComputeSteerableEnergy(state.sigma, input, state.energy, state.orientation);
  if (hr < 0) return ReportStageFailure("computing the steerable filters", hr);
  hr = NormalizeLocalContrast(state, state.energy);
  if (hr < 0) return ReportStageFailure("normalising the local contrast", hr);
  if (!WritePlane(file, state.energy, staging.get()) || !WritePlane(file, state.orientation, staging.get()))
    return ReportWriteFailure(outputName);

  hr = state.normalized.CopyTo(&state.energy);
  if (hr < 0) return ReportStageFailure("refining the edges", hr);
  hr = RefineEdgeEnergy(state, state.energy, state.orientation);
  if (hr < 0) return ReportStageFailure("refining the edges", hr);

  std::printf("\nWriting %s\n", outputName.c_str());
  if (!WritePlane(file, state.energy, staging.get())) return ReportWriteFailure(outputName);
  if (state.computeHistograms) {
    for (const ko::CTypedImg<float>& plane : state.histograms)
      if (!WritePlane(file, plane, staging.get())) return ReportWriteFailure(outputName);
  }
  if (!file.Commit()) {
    std::printf("Cannot complete the result file %s: %s.\n", outputName.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

// A plane as it lies in memory: one write when its rows follow each other without gaps,
// else a write per row. No staging copy.
bool WritePlaneDirect(CResultFile& file, const ko::CTypedImg<float>& plane) {
  const size_t rowBytes = static_cast<size_t>(plane.width) * sizeof(float);
  if (static_cast<size_t>(plane.stride) == rowBytes)
    return file.Write(plane.Row(0), rowBytes * static_cast<size_t>(plane.height));
  for (int32_t y = 0; y < plane.height; ++y)
    if (!file.Write(plane.Row(y), rowBytes)) return false;
  return true;
}

// Created and zero: new memory is zero already, so only a plane that had memory is cleared
// (a plane of zeros that is never written then costs no memory).
ko::HRESULT CreateZeroPlane(ko::CTypedImg<float>& plane, int32_t w, int32_t h) {
  const bool fresh = !plane.HasMemory();
  const ko::HRESULT hr = plane.Create(w, h, 1, 4, plane.type, 0);
  if (hr < 0 || fresh) return hr;
  return plane.Clear();
}

// The fast driver: the same checks, messages and file as the plain one; the stages' fast
// forms, the planes written straight from memory.
int RunEdgeAnalysisFast(ko::CTypedImg<float> input, std::string& path, CEdgeState& state) {
  const int32_t w = input.width;
  const int32_t h = input.height;
  std::string outputName;
  if (!StartRun(input, path, state, &outputName)) return 1;
  const uint64_t planeBytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * sizeof(float);

  CResultFile file;
  if (!file.Create(outputName)) {
    std::printf("Cannot create the result file %s: %s.\n", outputName.c_str(), std::strerror(errno));
    return 1;
  }

  // The histogram planes exist, all zero, even when no histograms were asked for; untouched,
  // they take no memory then.
  const bool bands = HistogramsInBands(w, h, state.computeHistograms, state.iterations, state.keepHistogramPlanes);
  const int32_t histogramRows = bands ? kHistogramBandRows : h;
  for (ko::CTypedImg<float>& plane : state.histograms)
    if (CreateZeroPlane(plane, w, histogramRows) < 0)
      return ReportStageFailure("preparing the result planes", ko::E_OUTOFMEMORY);
  if (CreateZeroPlane(state.energy, w, h) < 0 || CreateZeroPlane(state.orientation, w, h) < 0)
    return ReportStageFailure("preparing the result planes", ko::E_OUTOFMEMORY);

  std::printf("Computing steerable filters sigma = %f.\n", static_cast<double>(state.sigma));
  ko::HRESULT hr = ComputeSteerableEnergyFast(state.sigma, input, state.energy, state.orientation);
  if (hr < 0) return ReportStageFailure("computing the steerable filters", hr);
  hr = NormalizeLocalContrastFast(state, state.energy);
  if (hr < 0) return ReportStageFailure("normalising the local contrast", hr);
  if (!WritePlaneDirect(file, state.energy) || !WritePlaneDirect(file, state.orientation))
    return ReportWriteFailure(outputName);

  hr = state.normalized.CopyTo(&state.energy);
  if (hr < 0) return ReportStageFailure("refining the edges", hr);
  // Plane 2 and the histogram planes go to the file row band by row band as the passes
  // finish them, written by the stream's thread while the passes go on.
  CResultStream stream(file);
  const size_t rowBytes = static_cast<size_t>(w) * sizeof(float);
  int32_t submitted = 0;  // rows [0, submitted) are queued
  // Rows [y0, y1) of a plane holding `rows` rows (row y at y % rows), in runs of adjacent rows.
  const auto queue = [&](const ko::CTypedImg<float>& plane, int32_t rows, uint64_t start, int32_t y0, int32_t y1) {
    size_t jobs = 0;
    while (y0 < y1) {
      const int32_t end = std::min(y1, (y0 / rows + 1) * rows);
      if (static_cast<size_t>(plane.stride) == rowBytes) {
        stream.WriteAt(plane.Row(y0 % rows), rowBytes * static_cast<size_t>(end - y0), start + rowBytes * y0);
        ++jobs;
      } else {
        for (int32_t y = y0; y < end; ++y, ++jobs) stream.WriteAt(plane.Row(y % rows), rowBytes, start + rowBytes * y);
      }
      y0 = end;
    }
    return jobs;
  };
  const auto submit = [&](int32_t y1) {
    size_t jobs = queue(state.energy, h, 2 * planeBytes, submitted, y1);
    if (state.computeHistograms) {
      for (int32_t k = 0; k < kHistogramBins; ++k)
        jobs += queue(state.histograms[static_cast<size_t>(k)], histogramRows, static_cast<uint64_t>(3 + k) * planeBytes,
                      submitted, y1);
    }
    submitted = y1;
    // The band's rows are used again: what was queued before these rows must be written.
    if (bands) stream.WaitForBacklog(jobs);
  };
  constexpr int32_t kRowsPerWrite = 16;
  // The histogram planes were made zero above: the refinement writes them without reading.
  static_assert(kHistogramBandRows >= 2 * kRowsPerWrite + 2 * 8, "the band outlasts the writes in flight");
  hr = RefineEdgeEnergyStreamed(
      state, state.energy, state.orientation, true,
      [&](int32_t, int32_t y1) {
        if (y1 - submitted >= kRowsPerWrite || y1 == h) submit(y1);
      },
      bands ? kHistogramBandRows : 0);
  if (hr < 0) return ReportStageFailure("refining the edges", hr);
  if (submitted < h) submit(h);

  std::printf("\nWriting %s\n", outputName.c_str());
  if (!stream.Finish()) return ReportWriteFailure(outputName);
  // A band holds no whole plane: the histograms are in the file only.
  if (bands)
    for (ko::CTypedImg<float>& plane : state.histograms) plane = ko::CTypedImg<float>();
  if (!file.Commit()) {
    std::printf("Cannot complete the result file %s: %s.\n", outputName.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

int RunEdgeAnalysis(ko::CTypedImg<float> input, std::string& path, CEdgeState& state) {
  if (PlainFormsInUse()) return RunEdgeAnalysisPlain(input, path, state);
  return RunEdgeAnalysisFast(input, path, state);
}

}  // namespace brevant
