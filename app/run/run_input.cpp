#include "app/run/run_input.h"

#include <cstdio>

#include "app/run/engine.h"
#include "app/run/memory_estimate.h"
#include "ko/convert/convert_image.h"
#include "ko/core/wstr_buf.h"
#include "ko/io/image_file_reader.h"
#include "ko/io/image_limits.h"
#include "ko/io/image_read_reason.h"
#include "ko/platform/path_codec.h"

namespace brevant {
namespace {

// What the run will need, asked by the reader once it knows the image's size and before it
// allocates or reads a pixel: a small file declaring a huge image is refused at once instead
// of after gigabytes have been zero-filled for it.
struct SRunMemoryGate {
  const CSchedule* schedule = nullptr;
  SRunShape run;
  bool refused = false;
  int32_t width = 0, height = 0;
  uint64_t needed = 0, available = 0;
};

ko::HRESULT CheckRunMemory(int32_t width, int32_t height, int32_t bands, int32_t elementBytes, void* context) {
  auto* gate = static_cast<SRunMemoryGate*>(context);
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  // The decoded image and the intensity plane made from it live through the whole run.
  const uint64_t input = pixels * static_cast<uint64_t>(bands) * static_cast<uint64_t>(elementBytes) + pixels * 4;
  const SRunShape& run = gate->run;
  const bool inBands =
      run.histogramBands && HistogramsInBands(*gate->schedule, width, height, run.histograms, run.passes);
  const uint64_t needed =
      RunRequiredBytes(*gate->schedule, width, height, run.histograms, run.sigma, run.passes, inBands) + input;
  uint64_t available = 0;
  if (!ReadAvailableMemory(&available) || needed <= available) return ko::S_OK;
  gate->refused = true;
  gate->width = width;
  gate->height = height;
  gate->needed = needed;
  gate->available = available;
  return ko::E_OUTOFMEMORY;
}

// Installs the gate on this thread for the time of one load.
class CScopedRunMemoryGate {
 public:
  explicit CScopedRunMemoryGate(SRunMemoryGate* gate) {
    if (gate) ko::SetImageSizeGate(CheckRunMemory, gate);
  }
  ~CScopedRunMemoryGate() { ko::SetImageSizeGate(nullptr, nullptr); }
  CScopedRunMemoryGate(const CScopedRunMemoryGate&) = delete;
  CScopedRunMemoryGate& operator=(const CScopedRunMemoryGate&) = delete;
};

}  // namespace

SInputStatus LoadColorImage(const std::string& path, const CSchedule& schedule, const SRunShape* run,
                            CColorImage* colour) {
  SInputStatus status;
  // The wide path holds the whole path: reserve what it needs rather than a fixed 120.
  ko::CWStrBuf widePath;
  const std::u16string decoded = ko::DecodeNarrowPath(path.c_str());
  if (widePath.Reserve(static_cast<uint32_t>(decoded.size() + 1)) < 0) {
    status.kind = SInputStatus::EKind::kOutOfMemory;
    status.hr = ko::E_OUTOFMEMORY;
    status.words = "Out of memory.";
    return status;
  }
  widePath.Format(u"%S", path.c_str());

  SRunMemoryGate gate;
  gate.schedule = &schedule;
  if (run) gate.run = *run;
  ko::ClearImageReadReason();
  {
    CScopedRunMemoryGate installed(run ? &gate : nullptr);
    status.hr = ko::LoadImageFile(widePath.GetText(), colour, 1, -1);
  }
  if (gate.refused) {
    ko::ClearImageReadReason();
    status.kind = SInputStatus::EKind::kRunTooLarge;
    status.words = NotEnoughMemoryText(gate.width, gate.height, gate.needed, gate.available);
    return status;
  }
  // A failed load may leave a created image with undefined pixels: it is not analysed.
  if (status.hr < 0 || !colour->HasMemory()) {
    status.kind = SInputStatus::EKind::kUnreadable;
    status.words = ko::ImageReadReason(status.hr, path);
    return status;
  }
  return status;
}

SInputStatus ReduceToIntensity(const CColorImage& colour, const std::string& path, ko::CTypedImg<float>* intensity) {
  SInputStatus status;
  if (intensity->Create(colour.width, colour.height, 1, 4, intensity->type, 0) < 0) {
    char text[128];
    std::snprintf(text, sizeof text, "Out of memory: cannot hold a %d x %d intensity image.", colour.width,
                  colour.height);
    status.kind = SInputStatus::EKind::kOutOfMemory;
    status.hr = ko::E_OUTOFMEMORY;
    status.words = text;
    return status;
  }
  // Readers may hand back another element type than the colour image asked for (float for
  // the Radiance and .qxi formats): convert by what was actually loaded.
  status.hr = ko::ConvertImage(colour, *intensity);
  if (status.hr < 0) {
    const int32_t element = ko::ElementTypeOf(colour.type);
    status.kind = SInputStatus::EKind::kUnconvertible;
    status.words = "Cannot convert " + path + " to intensities: " + std::to_string(colour.bands) + "-band images of " +
                   (element >= 0 && element <= 4 ? ko::kTypeNames[element] : "unknown") + " elements are not supported (" +
                   ko::ResultName(status.hr) + ").";
  }
  return status;
}

}  // namespace brevant
