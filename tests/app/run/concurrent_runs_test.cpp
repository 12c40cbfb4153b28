// Analyses at the same time in one process, each with its own schedule and threads, give
// the bytes they give one at a time. ThreadSanitizer runs these too.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/output/memory_sink.h"
#include "app/pipeline_test_util.h"
#include "app/run/engine.h"

namespace brevant {
namespace {

struct SJob {
  ko::CTypedImg<float> input;
  int32_t passes;
  bool histograms;
  std::vector<float> planes;
};

void Analyze(SJob& job, int32_t threads) {
  const int32_t w = job.input.width, h = job.input.height, count = job.histograms ? 39 : 3;
  const size_t plane = static_cast<size_t>(w) * static_cast<size_t>(h);
  job.planes.assign(plane * static_cast<size_t>(count), 0.0f);
  CMemorySink sink(job.planes.data(), w, h, count, static_cast<ptrdiff_t>(plane * sizeof(float)),
                   static_cast<ptrdiff_t>(w * sizeof(float)), true);
  const CSchedule schedule(EForm::kFast, threads);
  CEdgeState state;
  state.sigma = 2.0f;
  state.iterations = job.passes;
  state.computeHistograms = job.histograms;
  const CRunControl silent;
  EXPECT_TRUE(AnalyzeIntensity(job.input, state, schedule, sink, silent).Ok());
}

TEST(ConcurrentRunsTest, RunsAtTheSameTimeGiveTheBytesOfRunsOneAtATime) {
  std::vector<SJob> alone, together;
  for (int i = 0; i < 4; ++i) {
    SJob job{test::SceneImage(47 + 13 * i, 120 - 9 * i, static_cast<uint32_t>(30 + i)), 2 + i, i % 2 == 0, {}};
    alone.push_back(job);
    together.push_back(job);
  }
  for (SJob& job : alone) Analyze(job, 1);
  std::vector<std::thread> threads;
  for (SJob& job : together) threads.emplace_back([&job] { Analyze(job, 2); });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < alone.size(); ++i) EXPECT_TRUE(alone[i].planes == together[i].planes) << "job " << i;
}

}  // namespace
}  // namespace brevant
