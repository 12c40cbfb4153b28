// Helpers of the pipeline tests: synthetic planes, a scratch folder, files and captured runs.
#pragma once
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/edge_state.h"
#include "app/run_control.h"
#include "app/schedule.h"
#include "ko/platform/cpu_features.h"

namespace brevant::test {

// A w x h float plane with value(x, y) at every pixel.
ko::CTypedImg<float> MakePlane(int32_t w, int32_t h, const std::function<float(int32_t, int32_t)>& value);
ko::CTypedImg<float> RandomPlane(int32_t w, int32_t h, std::mt19937& rng, float lo, float hi);
// A smooth random scene: blobs, a ramp and a few straight steps, so edges of every
// orientation occur.
ko::CTypedImg<float> SceneImage(int32_t w, int32_t h, uint32_t seed);

// The pixels of a plane, row after row.
std::vector<float> PlaneValues(const ko::CTypedImg<float>& plane);

// Same bits, or both NaN.
bool SameFloat(float a, float b);

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries inside, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

bool FileExists(const std::string& path);
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Plane p of a result file of w x h floats.
std::vector<float> ResultPlane(const std::vector<uint8_t>& file, int32_t w, int32_t h, int32_t p);

struct SRunResult {
  int status = -1;
  std::string output;
};

// RunEdgeAnalysis of `input` with a fresh state of the given parameters, standard output
// captured. The state is kept in `state` when given. Without a schedule, the fast forms on
// every core.
SRunResult RunCaptured(const CSchedule& schedule, const ko::CTypedImg<float>& input, const std::string& path,
                       float sigma, int32_t iterations, bool histograms, CEdgeState* state = nullptr);
SRunResult RunCaptured(const ko::CTypedImg<float>& input, const std::string& path, float sigma, int32_t iterations,
                       bool histograms, CEdgeState* state = nullptr);

// A run log that keeps what it is told.
class CTextLog final : public CRunLog {
 public:
  void Write(std::string_view text) override { text_.append(text); }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// A fast schedule on every core, made once for the test program.
const CSchedule& FastSchedule();

// The lane widths a parity test runs, widest first, each with the processor features that
// choose it (a schedule narrows them to what this processor has).
struct SLaneForm {
  const char* name;
  ko::CpuFeatures features;
};
const std::vector<SLaneForm>& LaneForms();

}  // namespace brevant::test
