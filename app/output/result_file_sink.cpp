#include "app/output/result_file_sink.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "app/refine/refine.h"

namespace brevant {
namespace {

static_assert(std::endian::native == std::endian::little, "the result file holds little-endian floats");

}  // namespace

bool ResultFileName(const std::string& path, std::string* name) {
  if (path.size() < 3) return false;
  *name = path.substr(0, path.size() - 3) + "edg";
  return true;
}

CResultFileSink::CResultFileSink(std::string inputPath) : input_(std::move(inputPath)) {}

CResultFileSink::CResultFileSink(std::string inputPath, std::string resultName)
    : input_(std::move(inputPath)), givenName_(std::move(resultName)) {}

CResultFileSink::~CResultFileSink() { Abandon(); }

bool CResultFileSink::Prepare(std::string* why) {
  if (!givenName_.empty()) {
    name_ = givenName_;
  } else if (!ResultFileName(input_, &name_)) {
    *why = "Cannot name the result file for \"" + input_ + "\": the path must have at least three characters.";
    return false;
  }
  if (name_ == input_) {
    *why = "The result file would replace the input file " + input_ + "; rename the input first.";
    return false;
  }
  return true;
}

bool CResultFileSink::Open(int32_t w, int32_t h, int32_t planes, std::string* why) {
  (void)planes;
  w_ = w;
  h_ = h;
  submitted_ = 0;
  if (!file_.Create(name_)) {
    *why = "Cannot create the result file " + name_ + ": " + std::strerror(errno) + ".";
    return false;
  }
  return true;
}

std::string CResultFileSink::WriteFailure() const {
  return "Cannot write the result file " + name_ + ": " + std::strerror(errno) + ".";
}

// A plane as it lies in memory: one write when its rows follow each other without gaps,
// else a write per row. No staging copy. Plane 0 is written at once, since the engine may
// refine in its memory next; plane 1 (the orientation, which stays as it is) is queued, so
// that the refinement need not wait for the disk.
bool CResultFileSink::TakePlane(int32_t p, const ko::CTypedImg<float>& plane, std::string* why) {
  const size_t rowBytes = static_cast<size_t>(plane.width) * sizeof(float);
  const uint64_t start = static_cast<uint64_t>(p) * rowBytes * static_cast<uint64_t>(plane.height);
  const bool whole = static_cast<size_t>(plane.stride) == rowBytes;
  if (p == 1) {
    if (!stream_) stream_.emplace(file_);
    if (whole) {
      stream_->WriteAt(plane.Row(0), rowBytes * static_cast<size_t>(plane.height), start);
    } else {
      for (int32_t y = 0; y < plane.height; ++y) stream_->WriteAt(plane.Row(y), rowBytes, start + rowBytes * y);
    }
    return true;
  }
  bool written = true;
  if (whole) {
    written = file_.WriteAt(plane.Row(0), rowBytes * static_cast<size_t>(plane.height), start);
  } else {
    for (int32_t y = 0; y < plane.height && written; ++y)
      written = file_.WriteAt(plane.Row(y), rowBytes, start + rowBytes * y);
  }
  if (!written) *why = WriteFailure();
  return written;
}

void CResultFileSink::Submit(int32_t y1) {
  if (!stream_) stream_.emplace(file_);
  const uint64_t planeBytes = static_cast<uint64_t>(w_) * static_cast<uint64_t>(h_) * sizeof(float);
  const size_t rowBytes = static_cast<size_t>(w_) * sizeof(float);
  // Rows [y0, y1) of a plane holding `rows` rows (row y at y % rows), in runs of adjacent rows.
  const auto queue = [&](const ko::CTypedImg<float>& plane, int32_t rows, uint64_t start, int32_t y0, int32_t end) {
    size_t jobs = 0;
    while (y0 < end) {
      const int32_t stop = std::min(end, (y0 / rows + 1) * rows);
      if (static_cast<size_t>(plane.stride) == rowBytes) {
        stream_->WriteAt(plane.Row(y0 % rows), rowBytes * static_cast<size_t>(stop - y0), start + rowBytes * y0);
        ++jobs;
      } else {
        for (int32_t y = y0; y < stop; ++y, ++jobs) stream_->WriteAt(plane.Row(y % rows), rowBytes, start + rowBytes * y);
      }
      y0 = stop;
    }
    return jobs;
  };
  size_t jobs = queue(*refined_, h_, 2 * planeBytes, submitted_, y1);
  if (histograms_) {
    for (int32_t k = 0; k < kHistogramBins; ++k)
      jobs += queue((*histograms_)[static_cast<size_t>(k)], histogramRows_, static_cast<uint64_t>(3 + k) * planeBytes,
                    submitted_, y1);
  }
  submitted_ = y1;
  // The band's rows are used again: what was queued before these rows must be written.
  if (histograms_ && histogramRows_ < h_) stream_->WaitForBacklog(jobs);
}

void CResultFileSink::TakeRows(const ko::CTypedImg<float>& refined, const CBinPlanes* histograms,
                               int32_t histogramRows, int32_t y0, int32_t y1) {
  (void)y0;
  refined_ = &refined;
  histograms_ = histograms;
  histogramRows_ = histogramRows;
  if (y1 - submitted_ >= kBandRowsPerWrite || y1 == h_) Submit(y1);
}

bool CResultFileSink::Commit(CRunLog& log, std::string* why) {
  if (refined_ && submitted_ < h_) Submit(h_);
  log.Printf("\nWriting %s\n", name_.c_str());
  if (stream_ && !stream_->Finish()) {
    *why = WriteFailure();
    Abandon();
    return false;
  }
  stream_.reset();
  if (!file_.Commit()) {
    *why = "Cannot complete the result file " + name_ + ": " + std::strerror(errno) + ".";
    return false;
  }
  return true;
}

void CResultFileSink::Abandon() {
  // Queued writes read the engine's planes: they end before the file goes.
  stream_.reset();
  file_.Discard();
}

}  // namespace brevant
