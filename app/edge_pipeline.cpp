#include "app/edge_pipeline.h"

#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/contrast_normalization.h"
#include "app/float_plane.h"
#include "app/edge_refinement.h"
#include "app/memory_budget.h"
#include "app/result_file.h"
#include "app/steerable_energy.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

static_assert(std::endian::native == std::endian::little, "the result file holds little-endian floats");

constexpr uint64_t kMegabyte = 1024 * 1024;

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

bool ResultFileName(const std::string& path, std::string* name) {
  if (path.size() < 3) return false;
  *name = path.substr(0, path.size() - 3) + "edg";
  return true;
}

int RunEdgeAnalysis(ko::CTypedImg<float> input, std::string& path, CEdgeState& state) {
  if (!IsFloatPlane(input)) {
    std::printf("There is no intensity image to analyse.\n");
    return 1;
  }
  const int32_t w = input.width;
  const int32_t h = input.height;

  std::string outputName;
  if (!ResultFileName(path, &outputName)) {
    std::printf("Cannot name the result file for \"%s\": the path must have at least three characters.\n",
                path.c_str());
    return 1;
  }
  if (outputName == path) {
    std::printf("The result file would replace the input file %s; rename the input first.\n", path.c_str());
    return 1;
  }
  path.resize(path.size() - 3);

  // Every plane is one block of at most 4 GB.
  const uint64_t planeBytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * sizeof(float);
  if (planeBytes > UINT32_MAX) {
    std::printf("The image of %d x %d pixels is too large: one plane of it would exceed 4 GB.\n", w, h);
    return 1;
  }
  uint64_t available = 0;
  const uint64_t needed = RequiredBytes(w, h, state.computeHistograms, state.sigma);
  if (ReadAvailableMemory(&available) && needed > available) {
    std::printf("Not enough memory for a %d x %d image: the run needs %" PRIu64 " MB, but only %" PRIu64
                " MB are available.\n",
                w, h, (needed + kMegabyte - 1) / kMegabyte, available / kMegabyte);
    return 1;
  }

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

}  // namespace brevant
