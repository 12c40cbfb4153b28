// Times each stage of the edge analysis on a 1024 x 1024 synthetic image at sigma 2 with 10
// refinement passes, histograms off and on, and reports the process's peak memory.
//
//   build/bench/edge_pipeline_bench --benchmark_filter=Off   (peak memory of the runs without
//   histograms; run the "On" ones separately for theirs: the peak only grows)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "app/contrast/contrast.h"
#include "app/refine/refine.h"
#include "app/run/engine.h"
#include "app/steerable/steerable.h"

namespace brevant {
namespace {

constexpr int32_t kSize = 1024;
constexpr float kSigma = 2.0f;
constexpr int32_t kPasses = 10;

ko::CTypedImg<float> SyntheticImage() {
  ko::CTypedImg<float> img;
  img.Create(kSize, kSize, 1, 0);
  for (int32_t y = 0; y < kSize; ++y) {
    for (int32_t x = 0; x < kSize; ++x) {
      const double dx = x - 400.0, dy = y - 600.0;
      double v = 80.0 + 0.05 * x + 60.0 * std::exp(-(dx * dx + dy * dy) / 20000.0);
      if (x + 0.5 * y > 900.0) v += 50.0;                   // a straight step
      if (std::hypot(x - 700.0, y - 300.0) < 150.0) v -= 40.0;  // a disc: edges of every orientation
      v += 10.0 * std::sin(x * 0.07) * std::cos(y * 0.05);  // texture
      img.At(x, y) = static_cast<float>(v);
    }
  }
  return img;
}

const ko::CTypedImg<float>& Input() {
  static const ko::CTypedImg<float> input = SyntheticImage();
  return input;
}

// The stages print progress; keep it out of the benchmark's table.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

// The program's schedule: the fast forms on every core.
const CSchedule& Fast() {
  static const CSchedule schedule;
  return schedule;
}

void ReportPeakMemory(benchmark::State& state) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The planes as the driver hands them to the stages.
void PrepareState(CEdgeState& s, bool histograms) {
  s.sigma = kSigma;
  s.iterations = kPasses;
  s.computeHistograms = histograms;
  for (ko::CTypedImg<float>* plane : {&s.energy, &s.orientation}) {
    plane->Create(kSize, kSize, 1, 4, plane->type, 0);
    plane->Clear();
  }
  for (ko::CTypedImg<float>& plane : s.histograms) {
    plane.Create(kSize, kSize, 1, 4, plane.type, 0);
    plane.Clear();
  }
}

void BM_SteerableEnergy(benchmark::State& bench) {
  CEdgeState s;
  PrepareState(s, false);
  for (auto _ : bench) {
    benchmark::DoNotOptimize(ComputeSteerableEnergy(Fast(), kSigma, Input(), s.energy, s.orientation));
  }
  ReportPeakMemory(bench);
}

void BM_ContrastNormalization(benchmark::State& bench) {
  CEdgeState s;
  PrepareState(s, false);
  ComputeSteerableEnergy(Fast(), kSigma, Input(), s.energy, s.orientation);
  for (auto _ : bench) {
    benchmark::DoNotOptimize(NormalizeLocalContrast(Fast(), s, s.energy));
  }
  ReportPeakMemory(bench);
}

void Refinement(benchmark::State& bench, bool histograms) {
  CEdgeState s;
  PrepareState(s, histograms);
  ComputeSteerableEnergy(Fast(), kSigma, Input(), s.energy, s.orientation);
  NormalizeLocalContrast(Fast(), s, s.energy);
  for (auto _ : bench) {
    bench.PauseTiming();
    s.normalized.CopyTo(&s.energy);
    for (ko::CTypedImg<float>& plane : s.histograms) plane.Clear();
    bench.ResumeTiming();
    benchmark::DoNotOptimize(RefineEdgeEnergy(Fast(), CRunControl(), s, s.energy, s.orientation));
  }
  ReportPeakMemory(bench);
}

void BM_RefinementHistogramsOff(benchmark::State& bench) { Refinement(bench, false); }
void BM_RefinementHistogramsOn(benchmark::State& bench) { Refinement(bench, true); }

void WholeRun(benchmark::State& bench, bool histograms) {
  const std::string path = "/tmp/brevant-bench-" + std::to_string(getpid()) + ".png";
  for (auto _ : bench) {
    CEdgeState s;
    s.sigma = kSigma;
    s.iterations = kPasses;
    s.computeHistograms = histograms;
    QuietStdout quiet;
    if (RunEdgeAnalysis(Input(), path, s, Fast()) != 0) bench.SkipWithError("run failed");
  }
  std::remove(("/tmp/brevant-bench-" + std::to_string(getpid()) + ".edg").c_str());
  ReportPeakMemory(bench);
}

void BM_WholeRunHistogramsOff(benchmark::State& bench) { WholeRun(bench, false); }
void BM_WholeRunHistogramsOn(benchmark::State& bench) { WholeRun(bench, true); }

BENCHMARK(BM_SteerableEnergy)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_ContrastNormalization)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_RefinementHistogramsOff)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_WholeRunHistogramsOff)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_RefinementHistogramsOn)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_WholeRunHistogramsOn)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace brevant

BENCHMARK_MAIN();
