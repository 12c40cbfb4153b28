#include "app/output/memory_sink.h"

#include <cstring>

namespace brevant {

CMemorySink::CMemorySink(float* planes, int32_t w, int32_t h, int32_t planeCount, ptrdiff_t planeStride,
                         ptrdiff_t rowStride, bool zero)
    : planes_(planes), w_(w), h_(h), planeCount_(planeCount), planeStride_(planeStride), rowStride_(rowStride),
      zero_(zero) {}

bool CMemorySink::Prepare(std::string* why) {
  if (!planes_ || w_ < 1 || h_ < 1 || rowStride_ < static_cast<ptrdiff_t>(w_) * static_cast<ptrdiff_t>(sizeof(float)) ||
      rowStride_ > INT32_MAX || rowStride_ % static_cast<ptrdiff_t>(sizeof(float)) != 0) {
    *why = "The planes given for the result do not fit the image.";
    return false;
  }
  return true;
}

bool CMemorySink::PlaneMemory(int32_t p, int32_t w, int32_t h, ko::CTypedImg<float>* plane, bool* zero) {
  if (p < 0 || p >= planeCount_ || w != w_ || h != h_) return false;
  if (plane->Attach(Plane(p), w, h, 1, static_cast<int32_t>(rowStride_), 4, plane->type) < 0) return false;
  *zero = zero_;
  return true;
}

bool CMemorySink::Open(int32_t w, int32_t h, int32_t planes, std::string* why) {
  if (w != w_ || h != h_ || planes > planeCount_) {
    *why = "The planes given for the result do not fit the image.";
    return false;
  }
  return true;
}

void CMemorySink::CopyRows(int32_t p, const ko::CTypedImg<float>& plane, int32_t rows, int32_t y0, int32_t y1) const {
  if (p >= planeCount_ || !plane.HasMemory() || reinterpret_cast<const void*>(plane.Row(0)) == Plane(p)) return;
  auto* out = reinterpret_cast<uint8_t*>(Plane(p));
  for (int32_t y = y0; y < y1; ++y)
    std::memcpy(out + rowStride_ * y, plane.Row(y % rows), static_cast<size_t>(w_) * sizeof(float));
}

bool CMemorySink::TakePlane(int32_t p, const ko::CTypedImg<float>& plane, std::string*) {
  CopyRows(p, plane, h_, 0, h_);
  return true;
}

void CMemorySink::TakeRows(const ko::CTypedImg<float>& refined, const CBinPlanes* histograms, int32_t histogramRows,
                           int32_t y0, int32_t y1) {
  CopyRows(2, refined, h_, y0, y1);
  if (!histograms) return;
  for (int32_t k = 0; k < kHistogramBins; ++k) CopyRows(3 + k, (*histograms)[static_cast<size_t>(k)], histogramRows, y0, y1);
}

bool CMemorySink::Commit(CRunLog&, std::string*) { return true; }

}  // namespace brevant
