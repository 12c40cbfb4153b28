#include "app/run/command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/edge_state.h"
#include "app/run/engine.h"
#include "app/run/memory_estimate.h"
#include "ko/convert/convert_image.h"
#include "ko/core/wstr_buf.h"
#include "ko/io/image_file_reader.h"
#include "ko/io/image_limits.h"
#include "ko/platform/path_codec.h"

namespace brevant {

namespace {

constexpr double kMaxSigma = 1e6;  // beyond this the filter radius is absurd

// What the run will need, asked by the reader once it knows the image's size and before it
// allocates or reads a pixel: a small file declaring a huge image is refused at once instead
// of after gigabytes have been zero-filled for it.
struct SRunMemoryGate {
  const CSchedule* schedule = nullptr;
  bool histograms = false;
  float sigma = 0.0f;
  int32_t passes = 0;
  bool refused = false;
  int32_t width = 0, height = 0;
  uint64_t needed = 0, available = 0;
};

ko::HRESULT CheckRunMemory(int32_t width, int32_t height, int32_t bands, int32_t elementBytes, void* context) {
  auto* gate = static_cast<SRunMemoryGate*>(context);
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  // The decoded image and the intensity plane made from it live through the whole run.
  const uint64_t input = pixels * static_cast<uint64_t>(bands) * static_cast<uint64_t>(elementBytes) + pixels * 4;
  // The program's run sends the histograms through a band when it can.
  const bool inBands = HistogramsInBands(*gate->schedule, width, height, gate->histograms, gate->passes);
  const uint64_t needed =
      RunRequiredBytes(*gate->schedule, width, height, gate->histograms, gate->sigma, gate->passes, inBands) + input;
  uint64_t available = 0;
  if (!ReadAvailableMemory(&available) || needed <= available) return ko::S_OK;
  gate->refused = true;
  gate->width = width;
  gate->height = height;
  gate->needed = needed;
  gate->available = available;
  return ko::E_OUTOFMEMORY;
}

// Installs the gate for the time of one load.
class CScopedRunMemoryGate {
 public:
  explicit CScopedRunMemoryGate(SRunMemoryGate* gate) { ko::SetImageSizeGate(CheckRunMemory, gate); }
  ~CScopedRunMemoryGate() { ko::SetImageSizeGate(nullptr, nullptr); }
  CScopedRunMemoryGate(const CScopedRunMemoryGate&) = delete;
  CScopedRunMemoryGate& operator=(const CScopedRunMemoryGate&) = delete;
};

void PrintUsage() {
  std::printf("Format:  Brevant <input file> <# iterations> <compute orien hist 0/1> <filter sigma>\n");
}

}  // namespace

int RunBrevant(int argc, char** argv) {
  const CSchedule schedule;
  return RunBrevant(argc, argv, schedule, nullptr);
}

int RunBrevant(int argc, char** argv, const CSchedule& schedule, const std::atomic<bool>* cancel) {
  if (argc != 5) {
    PrintUsage();
    return 2;
  }
  std::string path = argv[1];
  const int iterations = std::atoi(argv[2]);
  const int histogramSwitch = std::atoi(argv[3]);
  const float sigma = static_cast<float>(std::atof(argv[4]));

  // A sigma of 0 makes every response NaN and a negative one asks for a filter of negative
  // size: refuse them, and absurd sizes, before any work.
  if (!(sigma > 0.0f) || !std::isfinite(sigma) || sigma > kMaxSigma) {
    std::printf("Invalid filter sigma '%s': it must be a number above 0 and at most 1000000.\n", argv[4]);
    return 1;
  }

  ko::CTypedImg<float> intensity;
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;

  // The wide path holds the whole path: reserve what it needs rather than a fixed 120.
  ko::CWStrBuf widePath;
  const std::u16string decoded = ko::DecodeNarrowPath(path.c_str());
  if (widePath.Reserve(static_cast<uint32_t>(decoded.size() + 1)) < 0) {
    std::printf("Out of memory.\n");
    return 1;
  }
  widePath.Format(u"%S", path.c_str());
  std::printf("Opening %s\n", path.c_str());

  SRunMemoryGate gate;
  gate.schedule = &schedule;
  gate.histograms = histogramSwitch != 0;
  gate.sigma = sigma;
  gate.passes = iterations;
  ko::HRESULT loaded;
  {
    CScopedRunMemoryGate installed(&gate);
    loaded = ko::LoadImageFile(widePath.GetText(), &colour, 1, -1);
  }
  if (gate.refused) {
    std::printf("%s\n", NotEnoughMemoryText(gate.width, gate.height, gate.needed, gate.available).c_str());
    return 1;
  }
  // A failed load may leave a created image with undefined pixels: it is not analysed.
  if (loaded < 0 || !colour.HasMemory()) {
    std::printf("Sorry, couldn't open file %s\n", path.c_str());
    return 1;
  }

  CEdgeState state;
  if (intensity.Create(colour.width, colour.height, 1, 4, intensity.type, 0) < 0) {
    std::printf("Out of memory: cannot hold a %d x %d intensity image.\n", colour.width, colour.height);
    return 1;
  }
  // Readers may hand back another element type than the colour image asked for (float for
  // the Radiance and .qxi formats): convert by what was actually loaded.
  const ko::HRESULT converted = ko::ConvertImage(colour, intensity);
  if (converted < 0) {
    const int32_t element = ko::ElementTypeOf(colour.type);
    std::printf("Cannot convert %s to intensities: %d-band images of %s elements are not supported (%s).\n",
                path.c_str(), colour.bands, element >= 0 && element <= 4 ? ko::kTypeNames[element] : "unknown",
                ko::ResultName(converted));
    return 1;
  }
  state.sigma = sigma;
  state.iterations = iterations;
  state.keepHistogramPlanes = false;  // only the file is used
  if (histogramSwitch != 0) {
    state.computeHistograms = true;
    std::printf("Computing Orientation Histograms\n");
  } else {
    state.computeHistograms = false;
  }
  return RunEdgeAnalysis(intensity, path, state, schedule, cancel);
}

}  // namespace brevant
