#include "app/run/engine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "app/output/result_file_sink.h"
#include "app/pipeline_test_util.h"
#include "app/refine/refine.h"
#include "app/refine/support_sampler.h"
#include "app/run/memory_estimate.h"
#include "app/steerable/steerable.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::RunCaptured;
using test::ScratchFolder;

TEST(ResultFileNameTest, ReplacesTheLastThreeCharacters) {
  std::string name;
  ASSERT_TRUE(ResultFileName("photo.png", &name));
  EXPECT_EQ(name, "photo.edg");
  ASSERT_TRUE(ResultFileName("scan.tiff", &name));
  EXPECT_EQ(name, "scan.tedg");
  ASSERT_TRUE(ResultFileName("x.jp", &name));
  EXPECT_EQ(name, "xedg");
  ASSERT_TRUE(ResultFileName("a.b", &name));
  EXPECT_EQ(name, "edg");
  ASSERT_TRUE(ResultFileName("dir/a.bmp", &name));
  EXPECT_EQ(name, "dir/a.edg");
  EXPECT_FALSE(ResultFileName("ab", &name));
  EXPECT_FALSE(ResultFileName("", &name));
}

TEST(EdgePipelineTest, WritesThreePlanesInOrderAndPrintsTheProgress) {
  ScratchFolder folder;
  const int32_t w = 33, h = 27;
  const ko::CTypedImg<float> input = test::SceneImage(w, h, 1);
  CEdgeState state;
  const test::SRunResult run = RunCaptured(input, folder / "photo.png", 2.0f, 3, false, &state);
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string name = folder / "photo.edg";
  EXPECT_EQ(run.output, "Computing steerable filters sigma = 2.000000.\nNumber of iterations = 3\n...\nWriting " +
                            name + "\n");
  const std::vector<uint8_t> file = ReadFileBytes(name);
  ASSERT_EQ(file.size(), 12u * w * h);
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"photo.edg"});  // no temporary left

  // Plane 0 is the raw energy, plane 1 the orientation, plane 2 the refined energy.
  ko::CTypedImg<float> energy, orientation;
  ASSERT_EQ(energy.Create(w, h, 1, 0), ko::S_OK);
  ASSERT_EQ(orientation.Create(w, h, 1, 0), ko::S_OK);
  ASSERT_EQ(ComputeSteerableEnergyReference(2.0f, input, energy, orientation), ko::S_OK);
  EXPECT_EQ(test::ResultPlane(file, w, h, 0), test::PlaneValues(energy));
  EXPECT_EQ(test::ResultPlane(file, w, h, 1), test::PlaneValues(orientation));
  EXPECT_EQ(test::ResultPlane(file, w, h, 1), test::PlaneValues(state.orientation));
  EXPECT_EQ(test::ResultPlane(file, w, h, 2), test::PlaneValues(state.energy));
  // The histogram planes exist and are zero although none were asked for.
  for (const ko::CTypedImg<float>& plane : state.histograms) {
    ASSERT_TRUE(plane.HasMemory());
    for (float v : test::PlaneValues(plane)) ASSERT_EQ(v, 0.0f);
  }
}

TEST(EdgePipelineTest, WithHistogramsWritesThirtyNinePlanes) {
  ScratchFolder folder;
  const int32_t w = 24, h = 20;
  CEdgeState state;
  const test::SRunResult run = RunCaptured(test::SceneImage(w, h, 2), folder / "scan.tiff", 1.5f, 2, true, &state);
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<uint8_t> file = ReadFileBytes(folder / "scan.tedg");
  ASSERT_EQ(file.size(), 156u * w * h);
  EXPECT_EQ(test::ResultPlane(file, w, h, 2), test::PlaneValues(state.energy));
  for (int k = 0; k < kHistogramBins; ++k)
    EXPECT_EQ(test::ResultPlane(file, w, h, 3 + k), test::PlaneValues(state.histograms[k])) << k;
}

TEST(EdgePipelineTest, WithoutPassesPlaneTwoIsTheNormalisedEnergy) {
  ScratchFolder folder;
  CEdgeState state;
  const test::SRunResult run = RunCaptured(test::SceneImage(20, 20, 3), folder / "a.bmp", 2.0f, 0, false, &state);
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("Number of iterations = 0\n\nWriting "), std::string::npos) << run.output;
  EXPECT_EQ(test::ResultPlane(ReadFileBytes(folder / "a.edg"), 20, 20, 2), test::PlaneValues(state.normalized));
}

TEST(EdgePipelineTest, TinyImagesStillGiveWholePlanes) {
  ScratchFolder folder;
  for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 7}, std::pair{8, 8}}) {
    const test::SRunResult run = RunCaptured(test::SceneImage(w, h, 4), folder / "t.png", 2.0f, 2, true);
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<uint8_t> file = ReadFileBytes(folder / "t.edg");
    ASSERT_EQ(file.size(), 156u * w * h);
    for (int p : {0, 1})
      for (float v : test::ResultPlane(file, w, h, p)) EXPECT_EQ(v, 0.0f);
  }
}

TEST(EdgePipelineTest, ReplacesAnEarlierResult) {
  ScratchFolder folder;
  test::WriteFileBytes(folder / "photo.edg", std::vector<uint8_t>(100000, 0xAB));
  const test::SRunResult run = RunCaptured(test::SceneImage(16, 12, 5), folder / "photo.png", 2.0f, 1, false);
  ASSERT_EQ(run.status, 0);
  const std::vector<uint8_t> file = ReadFileBytes(folder / "photo.edg");
  ASSERT_EQ(file.size(), 12u * 16 * 12);
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"photo.edg"});
}

TEST(EdgePipelineTest, NamesTheResultAfterTheInputWithoutItsLastThreeCharacters) {
  ScratchFolder folder;
  const ko::CTypedImg<float> input = test::SceneImage(12, 12, 6);
  ASSERT_EQ(RunCaptured(input, folder / "x.jp", 1.0f, 0, false).status, 0);
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"xedg"});
}

TEST(EdgePipelineTest, RefusesAPathWithoutAResultName) {
  const test::SRunResult run = RunCaptured(test::SceneImage(12, 12, 7), "ab", 2.0f, 1, false);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "Cannot name the result file for \"ab\": the path must have at least three characters.\n");
  EXPECT_FALSE(FileExists("edg"));
}

TEST(EdgePipelineTest, RefusesToOverwriteItsInput) {
  ScratchFolder folder;
  test::WriteFileBytes(folder / "imageedg", {1, 2, 3});
  const test::SRunResult run = RunCaptured(test::SceneImage(12, 12, 7), folder / "imageedg", 2.0f, 1, false);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("would replace the input file"), std::string::npos) << run.output;
  EXPECT_EQ(ReadFileBytes(folder / "imageedg"), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(EdgePipelineTest, AResultThatCannotBeCreatedIsReportedBeforeAnyWork) {
  ScratchFolder folder;
  test::WriteFileBytes(folder / "plain", {0});
  ASSERT_EQ(mkdir((folder / "photo.edg").c_str(), 0755), 0);
  const struct {
    std::string input, result;
  } cases[] = {{folder / "missing/photo.png", folder / "missing/photo.edg"},
               {folder / "plain/photo.png", folder / "plain/photo.edg"},
               {folder / "photo.png", folder / "photo.edg"}};  // the result name is a folder
  for (const auto& c : cases) {
    const test::SRunResult run = RunCaptured(test::SceneImage(12, 12, 8), c.input, 2.0f, 1, false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output.rfind("Cannot create the result file " + c.result + ": ", 0), 0u) << run.output;
    EXPECT_EQ(run.output.find("Computing"), std::string::npos);
  }
  EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"photo.edg", "plain"}));
}

TEST(EdgePipelineTest, AReadOnlyFolderIsReported) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  ScratchFolder folder;
  ASSERT_EQ(chmod(folder.path().c_str(), 0555), 0);
  const test::SRunResult run = RunCaptured(test::SceneImage(12, 12, 8), folder / "photo.png", 2.0f, 1, false);
  chmod(folder.path().c_str(), 0755);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("Cannot create the result file"), std::string::npos);
}

TEST(EdgePipelineTest, AFailedWriteKeepsTheEarlierResultAndLeavesNoTemporary) {
  // The child may write only 1000 bytes to any file, far less than a plane of 64 x 64.
  ScratchFolder folder;
  const std::vector<uint8_t> earlier(5000, 0x5A);
  test::WriteFileBytes(folder / "photo.edg", earlier);
  const ko::CTypedImg<float> input = test::SceneImage(64, 64, 9);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  std::fflush(stdout);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeEnds[0]);
    dup2(pipeEnds[1], STDOUT_FILENO);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    CEdgeState state;
    state.sigma = 2.0f;
    state.iterations = 1;
    const int status = RunEdgeAnalysis(input, folder / "photo.png", state, test::FastSchedule());
    std::fflush(stdout);
    _exit(status);
  }
  close(pipeEnds[1]);
  std::string printed;
  char buffer[512];
  ssize_t got = 0;
  while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) printed.append(buffer, static_cast<size_t>(got));
  close(pipeEnds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_NE(printed.find("Cannot write the result file " + folder / "photo.edg" + ": File too large.\n"),
            std::string::npos)
      << printed;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadFileBytes(folder / "photo.edg"), earlier);
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"photo.edg"});
}

TEST(EdgePipelineTest, AllocationFailureAnywhereEndsTheRunWithoutAResult) {
  // Fails the n-th allocation of a run for every n up to beyond the run's last one. Some
  // failures are harmless (a placeholder that is replaced at once) and the run succeeds.
  ScratchFolder folder;
  const ko::CTypedImg<float> input = test::SceneImage(14, 13, 10);
  const std::vector<uint8_t> earlier{9, 9, 9};
  for (bool plain : {true, false}) {
    const CSchedule schedule(plain ? EForm::kReference : EForm::kFast, 2);
    int failures = 0;
    for (int64_t n = 0; n < 700; ++n) {
      test::WriteFileBytes(folder / "photo.edg", earlier);
      test::SRunResult run;
      {
        ko::ScopedAllocFailure fail(n);
        run = RunCaptured(schedule, input, folder / "photo.png", 2.0f, 1, true);
      }
      ASSERT_EQ(folder.Entries(), std::vector<std::string>{"photo.edg"}) << n;
      if (run.status == 0) {
        ASSERT_EQ(ReadFileBytes(folder / "photo.edg").size(), 156u * 14 * 13) << n;
        continue;
      }
      ++failures;
      ASSERT_EQ(run.status, 1) << n;
      ASSERT_NE(run.output.find("Out of memory"), std::string::npos) << n << ": " << run.output;
      ASSERT_EQ(ReadFileBytes(folder / "photo.edg"), earlier) << n;
    }
    EXPECT_GT(failures, plain ? 400 : 80);  // every plane and buffer of the run was tried
  }
}

TEST(EdgePipelineTest, ARunLargerThanTheMachineIsRefusedBeforeItStarts) {
  uint64_t available = 0;
  if (!ReadAvailableMemory(&available)) GTEST_SKIP() << "no /proc/meminfo";
  ScratchFolder folder;
  // The pixels are never read: the run must stop before touching them.
  float pixels[4] = {};
  ko::CTypedImg<float> huge;
  ASSERT_EQ(huge.Attach(pixels, 30000, 30000, 1, 120000, 4, huge.type), ko::S_OK);
  const test::SRunResult run = RunCaptured(huge, folder / "huge.png", 2.0f, 1, true);
  EXPECT_EQ(run.status, 1);
  const uint64_t needed = RunRequiredBytes(test::FastSchedule(), 30000, 30000, true, 2.0f, 1, false);
  ASSERT_GT(needed, available);
  EXPECT_EQ(run.output.rfind("Not enough memory for a 30000 x 30000 image: the run needs " +
                                 std::to_string((needed + (1 << 20) - 1) >> 20) + " MB, but only ",
                             0),
            0u)
      << run.output;
  EXPECT_TRUE(folder.Entries().empty());

  ko::CTypedImg<float> tooLarge;
  ASSERT_EQ(tooLarge.Attach(pixels, 40000, 30000, 1, 160000, 4, tooLarge.type), ko::S_OK);
  const test::SRunResult second = RunCaptured(tooLarge, folder / "huge.png", 2.0f, 1, false);
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.output.find("too large"), std::string::npos) << second.output;
}

TEST(EdgePipelineTest, RefusesAnInputWithoutPixels) {
  const test::SRunResult run = RunCaptured(ko::CTypedImg<float>(), "photo.png", 2.0f, 1, false);
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(FileExists("photo.edg"));
}

// The reference form holds whole working planes: 8 for the filters, 3 for the smoothing, 5
// for the passes and 180 more with the histograms, beside the run's own 3 and 36.
TEST(MemoryBudgetTest, TheEstimateSumsTheStagesReports) {
  const CSchedule reference(EForm::kReference);
  const uint64_t plane = 1000 * 1000 * 4;
  EXPECT_EQ(RunRequiredBytes(reference, 1000, 1000, true, 0.4f, 3, false),
            (3 + 36 + 8 + 3 + 5 + 180) * plane + 6 * 4 + 2 * 1001 * sizeof(SSupportGeometry));
  const CSchedule fast(EForm::kFast, 2);
  // A band of rows instead of 36 whole planes.
  EXPECT_EQ(RunRequiredBytes(fast, 1000, 1000, true, 2.0f, 10, false) -
                RunRequiredBytes(fast, 1000, 1000, true, 2.0f, 10, true),
            36 * plane - 36 * uint64_t{kHistogramBandRows} * 1000 * 4);
}

TEST(MemoryBudgetTest, ReadsMemAvailable) {
  uint64_t bytes = 0;
  ASSERT_TRUE(ParseMemAvailable("MemTotal:       32791104 kB\nMemFree:        1234 kB\nMemAvailable:   "
                                "24061224 kB\nBuffers: 1 kB\n",
                                &bytes));
  EXPECT_EQ(bytes, 24061224ull * 1024);
  EXPECT_FALSE(ParseMemAvailable("MemTotal: 5 kB\nMemFree: 3 kB\n", &bytes));
  EXPECT_FALSE(ParseMemAvailable("XMemAvailable: 5 kB\n", &bytes));
  EXPECT_FALSE(ParseMemAvailable("MemAvailable: lots\n", &bytes));
}

}  // namespace
}  // namespace brevant
