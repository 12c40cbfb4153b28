#include "app/run/command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/edge_state.h"
#include "app/run/engine.h"
#include "app/run/run_input.h"

namespace brevant {

namespace {

constexpr double kMaxSigma = 1e6;  // beyond this the filter radius is absurd

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

  std::printf("Opening %s\n", path.c_str());
  SRunShape shape;
  shape.histograms = histogramSwitch != 0;
  shape.sigma = sigma;
  shape.passes = iterations;
  CColorImage colour;
  SInputStatus input = LoadColorImage(path, schedule, &shape, &colour);
  if (input.kind == SInputStatus::EKind::kUnreadable) {
    std::printf("Sorry, couldn't open file %s\n", path.c_str());
    std::printf("The reason: %s.\n", input.words.c_str());
    return 1;
  }
  ko::CTypedImg<float> intensity;
  if (input.Ok()) input = ReduceToIntensity(colour, path, &intensity);
  if (!input.Ok()) {
    std::printf("%s\n", input.words.c_str());
    return 1;
  }

  CEdgeState state;
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
