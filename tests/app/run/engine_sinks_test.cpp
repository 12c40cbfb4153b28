// The engine into memory and into the file: the same planes to the bit; and a cancelled
// run, which leaves nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "app/output/memory_sink.h"
#include "app/output/result_file_sink.h"
#include "app/pipeline_test_util.h"
#include "app/run/engine.h"

namespace brevant {
namespace {

using test::ReadFileBytes;
using test::ScratchFolder;

// The planes of a run into caller-owned memory, as the result file would hold them.
std::vector<uint8_t> RunIntoMemory(const CSchedule& schedule, const ko::CTypedImg<float>& input, int32_t passes,
                                   bool histograms, bool zero) {
  const int32_t w = input.width, h = input.height, planes = histograms ? 39 : 3;
  const size_t planeFloats = static_cast<size_t>(w) * static_cast<size_t>(h);
  // Garbage unless the sink is told the memory is zero.
  std::vector<float> memory(planeFloats * static_cast<size_t>(planes), zero ? 0.0f : 1234.5f);
  CMemorySink sink(memory.data(), w, h, planes, static_cast<ptrdiff_t>(planeFloats * sizeof(float)),
                   static_cast<ptrdiff_t>(w * sizeof(float)), zero);
  CEdgeState state;
  state.sigma = 1.5f;
  state.iterations = passes;
  state.computeHistograms = histograms;
  test::CTextLog log;
  const CRunControl control(&log);
  EXPECT_TRUE(AnalyzeIntensity(input, state, schedule, sink, control).Ok()) << log.Text();
  std::vector<uint8_t> bytes(memory.size() * sizeof(float));
  std::memcpy(bytes.data(), memory.data(), bytes.size());
  return bytes;
}

TEST(EngineSinkTest, MemoryHoldsTheBytesOfTheFile) {
  const ko::CTypedImg<float> input = test::SceneImage(61, 90, 21);
  for (EForm form : {EForm::kReference, EForm::kFast}) {
    const CSchedule schedule(form, 2);
    for (bool histograms : {false, true}) {
      ScratchFolder folder;
      ASSERT_EQ(test::RunCaptured(schedule, input, folder / "scene.png", 1.5f, 3, histograms).status, 0);
      const std::vector<uint8_t> file = ReadFileBytes(folder / "scene.edg");
      for (bool zero : {false, true})
        EXPECT_TRUE(RunIntoMemory(schedule, input, 3, histograms, zero) == file)
            << (form == EForm::kReference ? "reference" : "fast") << (histograms ? " histograms" : "")
            << (zero ? " zero" : "");
    }
  }
}

TEST(EngineSinkTest, ACancelledRunLeavesNoResultAndKeepsAnEarlierOne) {
  ScratchFolder folder;
  const std::vector<uint8_t> earlier{1, 2, 3};
  test::WriteFileBytes(folder / "scene.edg", earlier);
  const ko::CTypedImg<float> input = test::SceneImage(40, 200, 22);
  for (EForm form : {EForm::kReference, EForm::kFast}) {
    const CSchedule schedule(form, 2);
    std::atomic<bool> cancel{false};
    // Raised by the sink as soon as plane 0 comes, so that the passes see it.
    class CCancellingSink final : public CResultSink {
     public:
      CCancellingSink(CResultSink& inner, std::atomic<bool>& flag) : inner_(inner), flag_(flag) {}
      bool Prepare(std::string* why) override { return inner_.Prepare(why); }
      bool TakesHistogramBands() const override { return inner_.TakesHistogramBands(); }
      bool Open(int32_t w, int32_t h, int32_t planes, std::string* why) override { return inner_.Open(w, h, planes, why); }
      bool TakePlane(int32_t p, const ko::CTypedImg<float>& plane, std::string* why) override {
        flag_ = true;
        return inner_.TakePlane(p, plane, why);
      }
      void TakeRows(const ko::CTypedImg<float>& refined, const CBinPlanes* histograms, int32_t rows, int32_t y0,
                    int32_t y1) override {
        inner_.TakeRows(refined, histograms, rows, y0, y1);
      }
      bool Commit(CRunLog& log, std::string* why) override { return inner_.Commit(log, why); }
      void Abandon() override { inner_.Abandon(); }

     private:
      CResultSink& inner_;
      std::atomic<bool>& flag_;
    };
    CResultFileSink file(folder / "scene.png");
    CCancellingSink sink(file, cancel);
    CEdgeState state;
    state.sigma = 2.0f;
    state.iterations = 10;
    state.computeHistograms = true;
    state.keepHistogramPlanes = false;
    test::CTextLog log;
    const CRunControl control(&log, &cancel);
    const SRunStatus status = AnalyzeIntensity(input, state, schedule, sink, control);
    EXPECT_EQ(status.hr, ko::E_ABORT);
    EXPECT_EQ(status.reason, "The run was cancelled.");
    EXPECT_EQ(log.Text().find("Writing"), std::string::npos) << log.Text();
    EXPECT_EQ(ReadFileBytes(folder / "scene.edg"), earlier);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"scene.edg"});  // no temporary
  }
}

}  // namespace
}  // namespace brevant
