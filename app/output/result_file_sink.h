// The result file as a sink: the planes one after the other, little-endian floats, no
// header, written to a temporary file in the target's folder and renamed over the target
// only when complete and flushed. Planes 0 and 1 are written whole; the later rows go to a
// writer thread as they come, so that the disk works while the passes go on.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "app/output/result_file.h"
#include "app/output/result_sink.h"
#include "app/output/result_stream.h"

namespace brevant {

// The result file's name for an input path: its last three characters replaced by "edg"
// (photo.png gives photo.edg, scan.tiff gives scan.tedg). False for a path shorter than
// three characters, which has no such name.
bool ResultFileName(const std::string& path, std::string* name);

class CResultFileSink final : public CResultSink {
 public:
  // The result of the input at `inputPath`, named by ResultFileName.
  explicit CResultFileSink(std::string inputPath);
  // The result of the input at `inputPath` written as `resultName` (a batch's output folder).
  CResultFileSink(std::string inputPath, std::string resultName);
  ~CResultFileSink() override;

  // The result's name, once Prepare has succeeded.
  const std::string& Name() const { return name_; }

  bool Prepare(std::string* why) override;
  bool TakesHistogramBands() const override { return true; }
  bool Open(int32_t w, int32_t h, int32_t planes, std::string* why) override;
  bool TakePlane(int32_t p, const ko::CTypedImg<float>& plane, std::string* why) override;
  void TakeRows(const ko::CTypedImg<float>& refined, const CBinPlanes* histograms, int32_t histogramRows, int32_t y0,
                int32_t y1) override;
  bool Commit(CRunLog& log, std::string* why) override;
  void Abandon() override;

 private:
  // Queues rows [submitted_, y1) of the planes last handed over.
  void Submit(int32_t y1);
  std::string WriteFailure() const;

  std::string input_, name_;
  std::string givenName_;  // empty: named after the input
  CResultFile file_;
  std::optional<CResultStream> stream_;  // from the first rows on
  int32_t w_ = 0, h_ = 0;
  int32_t submitted_ = 0;  // rows [0, submitted_) are queued
  // What the latest TakeRows handed over.
  const ko::CTypedImg<float>* refined_ = nullptr;
  const CBinPlanes* histograms_ = nullptr;
  int32_t histogramRows_ = 0;
};

}  // namespace brevant
