// Whole runs of the fast forms against the reference forms: the same result file to the
// last byte, the same messages and the same state, over sizes, scales, pass counts, the
// histogram switch, thread counts and lane widths.
#include <gtest/gtest.h>

#include <string>

#include "app/pipeline_test_util.h"
#include "app/refine/refine.h"
#include "app/run/engine.h"
#include "ko/convert/convert_image.h"
#include "ko/io/image_file_reader.h"
#include "ko/platform/path_codec.h"

namespace brevant {
namespace {

using test::ReadFileBytes;
using test::ScratchFolder;

struct SCase {
  int32_t w, h;
  float sigma;
  int32_t passes;
  bool histograms;
};

std::string Name(const SCase& c) {
  return std::to_string(c.w) + "x" + std::to_string(c.h) + " sigma " + std::to_string(c.sigma) + " passes " +
         std::to_string(c.passes) + (c.histograms ? " histograms" : "");
}

struct SOutcome {
  test::SRunResult run;
  std::vector<uint8_t> file;
  CEdgeState state;
};

SOutcome RunForm(const CSchedule& schedule, const ko::CTypedImg<float>& input, const SCase& c,
                 const ScratchFolder& folder) {
  SOutcome out;
  out.run = test::RunCaptured(schedule, input, folder / "photo.png", c.sigma, c.passes, c.histograms, &out.state);
  out.file = ReadFileBytes(folder / "photo.edg");
  return out;
}

// The files compared byte for byte; NaN cannot occur in these scenes.
void ExpectSameRun(const CSchedule& schedule, const ko::CTypedImg<float>& input, const SCase& c,
                   const std::string& what) {
  ScratchFolder folder;
  const SOutcome plain = RunForm(CSchedule(EForm::kReference), input, c, folder);
  const SOutcome fast = RunForm(schedule, input, c, folder);
  ASSERT_EQ(plain.run.status, 0) << what << plain.run.output;
  EXPECT_EQ(fast.run.status, 0) << what;
  EXPECT_EQ(fast.run.output, plain.run.output) << what;
  ASSERT_EQ(fast.file.size(), plain.file.size()) << what;
  EXPECT_TRUE(fast.file == plain.file) << what;
  EXPECT_EQ(test::PlaneValues(fast.state.normalized), test::PlaneValues(plain.state.normalized)) << what;
  for (int k = 0; k < kHistogramBins; ++k)
    ASSERT_EQ(test::PlaneValues(fast.state.histograms[k]), test::PlaneValues(plain.state.histograms[k])) << what;
}

TEST(PipelineFastTest, ScenesGiveTheSameFileForEveryScaleAndPassCount) {
  const SCase cases[] = {
      {93, 71, 2.0f, 10, true}, {93, 71, 0.3f, 2, true}, {93, 71, 1.0f, 0, true}, {93, 71, 4.0f, 3, false},
      {140, 37, 2.5f, 5, true}, {37, 140, 1.5f, 1, false}, {93, 71, 2.0f, 10, false},
  };
  uint32_t seed = 40;
  for (const SCase& c : cases) {
    const ko::CTypedImg<float> input = test::SceneImage(c.w, c.h, ++seed);
    for (int32_t threads : {1, 3})
      ExpectSameRun(CSchedule(EForm::kFast, threads), input, c, Name(c) + " threads " + std::to_string(threads));
  }
}

TEST(PipelineFastTest, TinyAndOddSizesGiveTheSameFile) {
  std::mt19937 rng(50);
  for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 7}, std::pair{9, 9}, std::pair{11, 12}, std::pair{21, 10},
                      std::pair{17, 33}}) {
    const ko::CTypedImg<float> input = test::RandomPlane(w, h, rng, 0.0f, 255.0f);
    for (int32_t passes : {0, 2}) {
      const SCase c{w, h, 2.0f, passes, true};
      ExpectSameRun(CSchedule(EForm::kFast, 2), input, c, Name(c));
    }
  }
}

TEST(PipelineFastTest, ScalarAndVectorFormsGiveTheSameFile) {
  const ko::CTypedImg<float> input = test::SceneImage(77, 52, 60);
  const SCase c{77, 52, 1.7f, 4, true};
  for (const test::SLaneForm& f : test::LaneForms()) ExpectSameRun(CSchedule(EForm::kFast, 2, f.features), input, c, f.name);
}

// One thread and many give the same file, byte for byte.
TEST(PipelineFastTest, OneThreadAndManyGiveTheSameFile) {
  const ko::CTypedImg<float> input = test::SceneImage(150, 90, 70);
  std::vector<std::vector<uint8_t>> files;
  for (int32_t threads : {1, 2, 5}) {
    ScratchFolder folder;
    const SCase c{150, 90, 2.0f, 6, true};
    ASSERT_EQ(RunForm(CSchedule(EForm::kFast, threads), input, c, folder).run.status, 0);
    files.push_back(ReadFileBytes(folder / "photo.edg"));
  }
  EXPECT_TRUE(files[0] == files[1]);
  EXPECT_TRUE(files[0] == files[2]);
}

// The program's runs send the histograms through a band of rows that is used again and
// again: the file must be the one the whole planes give, wherever the band wraps.
TEST(PipelineFastTest, HistogramBandsGiveTheSameFileAsWholePlanes) {
  const struct {
    int32_t w, h, passes, threads;
    bool avx2, avx512;
  } cases[] = {{600, 260, 10, 2, true, true},
               {1024, kHistogramBandRows + 40, 3, 2, true, true},  // page-aligned rows: past the page cache
               {40, 421, 1, 1, true, true},
               {23, kHistogramBandRows + 33, 4, 3, true, true},
               {70, 640, 3, 2, true, false},
               {31, 300, 2, 1, false, false}};
  for (const auto& c : cases) {
    const std::string what = std::to_string(c.w) + "x" + std::to_string(c.h) + " passes " + std::to_string(c.passes);
    const CSchedule schedule(EForm::kFast, c.threads, ko::CpuFeatures{true, true, c.avx2, c.avx512});
    const ko::CTypedImg<float> input = test::SceneImage(c.w, c.h, static_cast<uint32_t>(c.h));
    std::vector<uint8_t> files[2];
    std::string outputs[2];
    ScratchFolder folder;
    for (int keep = 0; keep < 2; ++keep) {
      CEdgeState state;
      state.keepHistogramPlanes = keep != 0;
      const test::SRunResult r = test::RunCaptured(schedule, input, folder / "photo.png", 1.5f, c.passes, true, &state);
      ASSERT_EQ(r.status, 0) << what << r.output;
      outputs[keep] = r.output;
      files[keep] = ReadFileBytes(folder / "photo.edg");
      // Only the file holds the histograms of a banded run.
      EXPECT_EQ(state.histograms[0].HasMemory(), keep != 0) << what;
    }
    EXPECT_EQ(outputs[0], outputs[1]) << what;
    ASSERT_EQ(files[0].size(), files[1].size()) << what;
    EXPECT_TRUE(files[0] == files[1]) << what;
  }
}

// The bundled photograph, read and converted as the program does: whole without
// histograms, and a part of it with them (the plain histograms are slow).
TEST(PipelineFastTest, ThePhotographGivesTheSameFile) {
  const std::u16string name = ko::DecodeNarrowPath(BREVANT_SOURCE_DIR "/data/sample.jpg");
  ko::CCompositeImg<ko::RGBAType<unsigned char>> colour;
  ASSERT_GE(ko::LoadImageFile(name.c_str(), &colour, 1, -1), 0);
  ko::CTypedImg<float> intensity;
  ASSERT_EQ(intensity.Create(colour.width, colour.height, 1, 4, intensity.type, 0), ko::S_OK);
  ASSERT_GE(ko::ConvertImage(colour, intensity), 0);
  const CSchedule schedule(EForm::kFast, 2);
  ExpectSameRun(schedule, intensity, SCase{intensity.width, intensity.height, 2.0f, 3, false}, "whole photograph");
  ko::CTypedImg<float> part;
  const ko::RECT rect{250, 120, 250 + 96, 120 + 80};
  ASSERT_EQ(intensity.ShareRect(&part, &rect), ko::S_OK);
  ExpectSameRun(schedule, part, SCase{part.width, part.height, 1.5f, 4, true}, "part of the photograph");
}

}  // namespace
}  // namespace brevant
