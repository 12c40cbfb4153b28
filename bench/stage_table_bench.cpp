// Times every stage of the edge analysis and whole runs on a photograph-like 2048 x 2048
// image, in their reference and fast forms, beside the yardstick of each measured in the same run,
// and prints one table: the best (least) wall and CPU time of several repetitions, and the
// ratio to the yardstick.
//
//   build/bench/stage_table_bench [--size 2048] [--reps 5] [--threads 1,2] [--photo] [--no-avx512]
//       [--only steerable,smoothing,stencils,refine,histograms,run] [--plain-histograms] [--plain-run]
//
// --photo: the bundled photograph (data/sample.jpg) scaled to the size instead of the
// synthetic image.
//
// CPU time is that of the whole process (all threads); on a loaded machine it is the
// steadier figure for one thread, while wall time is what two threads are for.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/contrast/contrast.h"
#include "app/refine/refine.h"
#include "app/refine/refine_lanes.h"
#include "app/refine/refine_rule.h"
#include "app/refine/refine_stencil.h"
#include "app/run/engine.h"
#include "app/steerable/steerable.h"
#include "app/steerable/steerable_kernels.h"
#include "bench/bench_images.h"
#include "bench/yardsticks.h"
#include "ko/filter/gaussian_kernel.h"
#include "ko/filter/separable_filter.h"
#include "ko/platform/cpu_features.h"

namespace brevant::bench {
namespace {

struct STime {
  double wall = 1e30, cpu = 1e30;  // milliseconds, least of the repetitions
};

double Now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

// The stages print progress; keep it out of the table.
class CQuietStdout {
 public:
  CQuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~CQuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

// `prepare` runs untimed before every repetition of `work`.
STime Measure(int reps, const std::function<void()>& prepare, const std::function<void()>& work) {
  STime best;
  for (int r = 0; r < reps; ++r) {
    if (prepare) prepare();
    const double w0 = Now(CLOCK_MONOTONIC), c0 = Now(CLOCK_PROCESS_CPUTIME_ID);
    work();
    const double w1 = Now(CLOCK_MONOTONIC), c1 = Now(CLOCK_PROCESS_CPUTIME_ID);
    best.wall = std::fmin(best.wall, w1 - w0);
    best.cpu = std::fmin(best.cpu, c1 - c0);
  }
  return best;
}

STime Difference(const STime& a, const STime& b, double divisor) {
  return {(a.wall - b.wall) / divisor, (a.cpu - b.cpu) / divisor};
}

void PrintHeader() {
  std::printf("%-44s %-22s %7s %10s %10s %10s %10s\n", "work", "form", "threads", "wall ms", "cpu ms", "x yard(w)",
              "x yard(c)");
}

void PrintRow(const std::string& work, const std::string& form, int threads, const STime& t, const STime* yard) {
  std::printf("%-44s %-22s %7d %10.1f %10.1f", work.c_str(), form.c_str(), threads, t.wall, t.cpu);
  if (yard && yard->wall > 0) std::printf(" %10.2f %10.2f", t.wall / yard->wall, t.cpu / yard->cpu);
  std::printf("\n");
  std::fflush(stdout);
}

struct SOptions {
  ko::CpuFeatures features = ko::GetCpuFeatures();
  int32_t size = 2048;
  int reps = 5;
  std::vector<int32_t> threads = {1, 2};
  std::set<std::string> only;
  bool plainHistograms = false;
  bool plainRun = false;
  bool photo = false;  // the bundled photograph scaled, instead of the synthetic image
  bool Wants(const std::string& section) const { return only.empty() || only.count(section); }
};

void PrepareState(CEdgeState& s, int32_t size, bool histograms, int32_t passes, float sigma) {
  s.sigma = sigma;
  s.iterations = passes;
  s.computeHistograms = histograms;
  for (ko::CTypedImg<float>* plane : {&s.energy, &s.orientation}) {
    plane->Create(size, size, 1, 4, plane->type, 0);
    plane->Clear();
  }
  for (ko::CTypedImg<float>& plane : s.histograms) {
    plane.Create(size, size, 1, 4, plane.type, 0);
    plane.Clear();
  }
}

void Steerable(const SOptions& o, const ko::CTypedImg<float>& input) {
  for (float sigma : {2.0f, 4.0f}) {
    char work[64];
    std::snprintf(work, sizeof work, "steerable 14 passes + combination, sigma %g", sigma);
    CEdgeState s;
    PrepareState(s, o.size, false, 0, sigma);
    SSteerableKernels kernels;
    BuildSteerableKernels(sigma, &kernels);
    STime yard1;
    if (HaveOpenCv()) {
      std::vector<ko::CTypedImg<float>> responses;
      for (int32_t t : o.threads) {
        SetOpenCvThreads(t);
        const STime y = Measure(o.reps, nullptr, [&] { OpenCvSteerablePasses(input, kernels, &responses); });
        if (t == 1) yard1 = y;
        PrintRow(work, "OpenCV sepFilter2D", t, y, nullptr);
      }
      SetOpenCvThreads(1);
    }
    const STime* yard = HaveOpenCv() ? &yard1 : nullptr;
    PrintRow(work, "reference", 1,
             Measure(std::max(1, o.reps / 2), nullptr,
                     [&] { ComputeSteerableEnergyReference(sigma, input, s.energy, s.orientation); }),
             yard);
    for (int32_t t : o.threads) {
      const CSchedule schedule(EForm::kFast, t, o.features);
      PrintRow(work, "fast", t,
               Measure(o.reps, nullptr, [&] { ComputeSteerableEnergyFast(schedule, sigma, input, s.energy, s.orientation); }),
               yard);
    }
  }
}

void Smoothing(const SOptions& o, const ko::CTypedImg<float>& input) {
  const std::string work = "13-tap smoothing of two planes";
  CEdgeState s;
  PrepareState(s, o.size, false, 0, 2.0f);
  const CSchedule fast(EForm::kFast, 0, o.features);
  ComputeSteerableEnergyFast(fast, 2.0f, input, s.energy, s.orientation);
  ko::CGaussianKernel kernel;
  kernel.Build(2.0f, 0, 3.0f);
  ko::CTypedImg<float> squares, a, b;
  squares.Create(o.size, o.size, 1, 0);
  a.Create(o.size, o.size, 1, 0);
  b.Create(o.size, o.size, 1, 0);
  for (int32_t y = 0; y < o.size; ++y)
    for (int32_t x = 0; x < o.size; ++x) squares.At(x, y) = s.energy.At(x, y) * s.energy.At(x, y);
  STime yard;
  if (HaveOpenCv()) {
    SetOpenCvThreads(1);
    yard = Measure(o.reps, nullptr, [&] { OpenCvSmoothTwo(squares, s.energy, kernel, &a, &b); });
    PrintRow(work, "OpenCV sepFilter2D", 1, yard, nullptr);
    SetOpenCvThreads(2);
    PrintRow(work, "OpenCV sepFilter2D", 2,
             Measure(o.reps, nullptr, [&] { OpenCvSmoothTwo(squares, s.energy, kernel, &a, &b); }), nullptr);
    SetOpenCvThreads(1);
  }
  const STime* y = HaveOpenCv() ? &yard : nullptr;
  PrintRow(work, "reference FilterImage x2", 1, Measure(o.reps, nullptr, [&] {
             ko::FilterImage(squares, a, kernel, kernel, ko::BorderClamp);
             ko::FilterImage(s.energy, b, kernel, kernel, ko::BorderClamp);
           }),
           y);
  for (int32_t t : o.threads) {
    const CSchedule schedule(EForm::kFast, t, o.features);
    PrintRow(work, "fast", t, Measure(o.reps, nullptr, [&] { SmoothForContrastFast(schedule, s.energy, a, b); }), y);
  }
  const std::string stage = "contrast normalisation (whole stage)";
  PrintRow(stage, "reference", 1, Measure(o.reps, nullptr, [&] { NormalizeLocalContrastReference(s, s.energy); }), y);
  for (int32_t t : o.threads) {
    const CSchedule schedule(EForm::kFast, t, o.features);
    PrintRow(stage, "fast", t, Measure(o.reps, nullptr, [&] { NormalizeLocalContrastFast(schedule, s, s.energy); }), y);
  }
}

// The fixed geometry of the passes with the histograms, worked out once a run: both sample
// points of every pixel, their neighbours and weights. Yardstick: the cosine and sine of every
// pixel's orientation alone, which the geometry takes from the C library.
void Stencils(const SOptions& o, const ko::CTypedImg<float>& input) {
  const std::string work = "refinement stencils (once a run), 1 thread";
  CEdgeState s;
  PrepareState(s, o.size, false, 0, 2.0f);
  const CSchedule fast(EForm::kFast, 1, o.features);
  ComputeSteerableEnergyFast(fast, 2.0f, input, s.energy, s.orientation);
  const SRefineLanes lanes = RefineLanesFor(fast.Features());
  std::vector<uint8_t> memory(StencilRowBytes(o.size, true));
  const SStencilRow row = StencilRowAt(memory.data(), o.size, true);
  volatile double sink = 0.0;
  const STime yard = Measure(o.reps, nullptr, [&] {
    double sum = 0.0;
    for (int32_t y = kPassMargin; y < o.size - kPassMargin; ++y)
      for (int32_t x = kPassMargin; x < o.size - kPassMargin; ++x) {
        const double theta = s.orientation.At(x, y);
        sum += std::cos(theta) + std::sin(theta);
      }
    sink = sum;
  });
  PrintRow(work, "libm cos + sin", 1, yard, nullptr);
  PrintRow(work, "fast", 1, Measure(o.reps, nullptr, [&] {
             for (int32_t y = kPassMargin; y < o.size - kPassMargin; ++y)
               ComputeStencilRow(s.orientation, y, row, kPassMargin, o.size - kPassMargin, lanes.weightExponents,
                                 lanes.weightExp);
           }),
           &yard);
}

// One pass: the time of `more` passes less that of `fewer`, divided by the difference, so that
// the work done once per run (the stencils of the fast form) is not counted.
STime RefinementPass(CEdgeState& s, bool histograms, int32_t fewer, int32_t more, int reps, const CSchedule& schedule) {
  const CRunControl silent;
  auto prepare = [&] {
    s.normalized.CopyTo(&s.energy);
    for (ko::CTypedImg<float>& plane : s.histograms) plane.Clear();
  };
  s.computeHistograms = histograms;
  s.iterations = fewer;
  const STime a = Measure(reps, prepare, [&] {
    RefineEdgeEnergy(schedule, silent, s, s.energy, s.orientation);
  });
  s.iterations = more;
  const STime b = Measure(reps, prepare, [&] {
    RefineEdgeEnergy(schedule, silent, s, s.energy, s.orientation);
  });
  return Difference(b, a, more - fewer);
}

void Refinement(const SOptions& o, const ko::CTypedImg<float>& input, bool histograms) {
  const std::string work = histograms ? "one refinement pass, 36 histogram bins" : "one refinement pass, no histograms";
  CEdgeState s;
  PrepareState(s, o.size, histograms, 0, 2.0f);
  s.computeHistograms = histograms;
  const CSchedule fast(EForm::kFast, 0, o.features);
  const CSchedule reference(EForm::kReference);
  ComputeSteerableEnergyFast(fast, 2.0f, input, s.energy, s.orientation);
  NormalizeLocalContrastFast(fast, s, s.energy);
  s.normalized.CopyTo(&s.energy);
  STime yard;
  const STime* y = nullptr;
  if (!histograms) {
    if (o.features.avx2) {
      SPlainLoopRefinement loop;
      PreparePlainLoop(s.energy, s.orientation, &loop);
      yard = Measure(o.reps, nullptr, [&] { PlainLoopPass(&loop); });
      y = &yard;
      PrintRow(work, "plain C loop, gcc AVX2", 1, yard, nullptr);
    }
    yard = y ? yard : STime{};
    PrintRow(work, "reference", 1, RefinementPass(s, false, 0, 2, std::max(1, o.reps / 2), reference), y);
  } else if (o.plainHistograms) {
    yard = RefinementPass(s, true, 0, 1, 1, reference);
    y = &yard;
    PrintRow(work, "reference (bins in separate planes)", 1, yard, nullptr);
  }
  for (int32_t t : o.threads) {
    const CSchedule schedule(EForm::kFast, t, o.features);
    PrintRow(work, "fast", t, RefinementPass(s, histograms, histograms ? 1 : 2, 10, o.reps, schedule), y);
  }
}

void WholeRun(const SOptions& o, const ko::CTypedImg<float>& input) {
  const std::string work = "whole run, 10 passes, histograms (in process)";
  const std::string path = "/tmp/brevant-stage-table-" + std::to_string(getpid()) + ".png";
  auto run = [&](const CSchedule& schedule) {
    CEdgeState s;
    s.sigma = 2.0f;
    s.iterations = 10;
    s.computeHistograms = true;
    s.keepHistogramPlanes = false;  // as the program runs
    CQuietStdout quiet;
    RunEdgeAnalysis(input, path, s, schedule);
  };
  STime plain;
  const STime* y = nullptr;
  if (o.plainRun) {
    const CSchedule reference(EForm::kReference);
    plain = Measure(1, nullptr, [&] { run(reference); });
    y = &plain;
    PrintRow(work, "reference", 1, plain, nullptr);
  }
  for (int32_t t : o.threads) {
    const CSchedule schedule(EForm::kFast, t, o.features);
    PrintRow(work, "fast", t, Measure(std::max(1, o.reps / 2), nullptr, [&] { run(schedule); }), y);
  }
  std::remove(("/tmp/brevant-stage-table-" + std::to_string(getpid()) + ".edg").c_str());
}

std::vector<int32_t> ParseList(const char* text) {
  std::vector<int32_t> out;
  for (const char* p = text; *p;) {
    out.push_back(std::atoi(p));
    while (*p && *p != ',') ++p;
    if (*p) ++p;
  }
  return out;
}

}  // namespace
}  // namespace brevant::bench

int main(int argc, char** argv) {
  using namespace brevant::bench;
  SOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--size" && i + 1 < argc) o.size = std::atoi(argv[++i]);
    else if (a == "--reps" && i + 1 < argc) o.reps = std::atoi(argv[++i]);
    else if (a == "--threads" && i + 1 < argc) o.threads = ParseList(argv[++i]);
    else if (a == "--only" && i + 1 < argc) {
      std::string list = argv[++i];
      size_t start = 0;
      while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        o.only.insert(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (a == "--plain-histograms") o.plainHistograms = true;
    else if (a == "--plain-run") o.plainRun = true;
    else if (a == "--photo") o.photo = true;
    else if (a == "--no-avx512") o.features.avx512 = false;
    else {
      std::printf("unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  const ko::CpuFeatures cpu = brevant::CSchedule(brevant::EForm::kFast, 1, o.features).Features();
  std::printf("image %d x %d %s, best of %d; in use: sse2 %d avx2 %d avx512 %d; OpenCV %s\n", o.size, o.size,
              o.photo ? "data/sample.jpg scaled" : "synthetic photograph-like", o.reps, cpu.sse2, cpu.avx2,
              cpu.avx512,
              HaveOpenCv() ? "yes" : "no (yardsticks skipped)");
  const ko::CTypedImg<float> input = o.photo ? SamplePhotoIntensity(o.size, o.size) : PhotoLikeImage(o.size, o.size, 1);
  if (!input.HasMemory()) {
    std::printf("cannot read the photograph\n");
    return 1;
  }
  PrintHeader();
  if (o.Wants("steerable")) Steerable(o, input);
  if (o.Wants("smoothing")) Smoothing(o, input);
  if (o.Wants("stencils")) Stencils(o, input);
  if (o.Wants("refine")) Refinement(o, input, false);
  if (o.Wants("histograms")) Refinement(o, input, true);
  if (o.Wants("run")) WholeRun(o, input);
  std::printf("peak resident memory of this process: %.0f MB\n", PeakResidentBytes() / 1048576.0);
  return 0;
}
