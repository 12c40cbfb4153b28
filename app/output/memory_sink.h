// Memory a caller owns as a sink: the engine writes every plane of the result straight into
// the caller's planes, and nothing is copied (a plane the engine had to make elsewhere is
// copied in when it is handed over).
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/output/result_sink.h"

namespace brevant {

class CMemorySink final : public CResultSink {
 public:
  // Plane p of the result at planes + p * planeStride bytes, its rows rowStride bytes apart
  // (both in bytes, each row w floats). The memory must hold every plane the run makes (3, or
  // 39 with histograms) and outlive the run. `zero`: the caller's memory holds +0 throughout
  // (fresh zero pages), which spares the engine clearing the histogram planes.
  CMemorySink(float* planes, int32_t w, int32_t h, int32_t planeCount, ptrdiff_t planeStride, ptrdiff_t rowStride,
              bool zero);

  bool Prepare(std::string* why) override;
  bool PlaneMemory(int32_t p, int32_t w, int32_t h, ko::CTypedImg<float>* plane, bool* zero) override;
  bool Open(int32_t w, int32_t h, int32_t planes, std::string* why) override;
  bool TakePlane(int32_t p, const ko::CTypedImg<float>& plane, std::string* why) override;
  void TakeRows(const ko::CTypedImg<float>& refined, const CBinPlanes* histograms, int32_t histogramRows, int32_t y0,
                int32_t y1) override;
  bool Commit(CRunLog& log, std::string* why) override;
  void Abandon() override {}

 private:
  float* planes_;
  int32_t w_, h_, planeCount_;
  ptrdiff_t planeStride_, rowStride_;
  bool zero_;

  float* Plane(int32_t p) const {
    return reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(planes_) + planeStride_ * p);
  }
  // Rows [y0, y1) of `plane` (row y at y % rows) into plane p, unless they are there already.
  void CopyRows(int32_t p, const ko::CTypedImg<float>& plane, int32_t rows, int32_t y0, int32_t y1) const;
};

}  // namespace brevant
