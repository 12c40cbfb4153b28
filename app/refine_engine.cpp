#include "app/refine_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "app/edge_refinement.h"
#include "app/float_plane.h"
#include "app/refine_kernels.h"
#include "app/refine_stencil.h"
#include "app/thread_pool.h"
#include "ko/platform/memory.h"

namespace brevant {
namespace {

constexpr int32_t kBins = kHistogramBins;
constexpr int32_t kBinRecord = 2 * kBins;  // forward bins, then backward bins
constexpr int32_t kEnergyRecord = 2;       // forward, backward
constexpr int32_t kPassMargin = 2;
constexpr int32_t kFinalMargin = 5;

// Zero-filled heap memory of the library's allocator; null when it cannot be had.
template <class T>
class CBuffer {
 public:
  CBuffer() = default;
  ~CBuffer() { ko::KoFree(p_); }
  CBuffer(const CBuffer&) = delete;
  CBuffer& operator=(const CBuffer&) = delete;
  bool Allocate(size_t count) {
    ko::KoFree(p_);
    p_ = nullptr;
    if (count > SIZE_MAX / sizeof(T)) return false;
    p_ = static_cast<T*>(ko::KoCalloc(count == 0 ? sizeof(T) : count * sizeof(T)));
    return p_ != nullptr;
  }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// Rows of records of one pass: row y lives in slot y mod rows (rows = H: a whole buffer).
struct SRows {
  float* data = nullptr;
  int32_t rows = 1;
  size_t rowFloats = 0;
  float* Row(int32_t y) const { return data + static_cast<size_t>(y % rows) * rowFloats; }
};

// A pixel's two votes: bin < 0 when it casts none.
struct SVotes {
  std::vector<int32_t> bin;
  std::vector<float> first, second;
};

class CWavefront {
 public:
  CWavefront(int32_t w, int32_t h, int32_t passes, bool histograms)
      : w_(w), h_(h), passes_(passes), bins_(histograms) {
    // Rows a pass advances per step: fewer with the histograms, whose rows are heavy. A pass
    // runs `lag_` rows behind the one before it, which then keeps `ringRows_` rows.
    step_ = bins_ ? 2 : 8;
    lag_ = step_ + 2;
    ringRows_ = 2 * step_ + 4;
    // Passes of one sweep: their rings stay below half of a whole buffer.
    sweepPasses_ = std::max<int32_t>(1, h_ / (2 * ringRows_));
    sweepPasses_ = std::min(sweepPasses_, std::max<int32_t>(passes_, 1));
    // Stencil rows from the newest (pass 0 of the sweep) back to the oldest (its last pass).
    stencilRows_ = static_cast<int32_t>(std::min<int64_t>(h_, static_cast<int64_t>(lag_) * sweepPasses_ + step_));
  }

  uint64_t Bytes(int32_t slots) const;
  ko::HRESULT Allocate(int32_t slots);
  void Run(CThreadPool& pool, ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation,
           CBinPlanes* histograms);

 private:
  struct SItem {
    int32_t level, y;
  };

  bool Sweeps() const { return passes_ > sweepPasses_; }
  size_t EnergyRowFloats() const { return static_cast<size_t>(w_) * kEnergyRecord; }
  size_t BinRowFloats() const { return static_cast<size_t>(w_) * kBinRecord; }
  size_t RawFloats() const { return static_cast<size_t>(w_) * (kEnergyRecord + (bins_ ? kBinRecord : 0)); }
  SStencilRow Stencils(int32_t y) const {
    return StencilRowAt(stencils_.get() + static_cast<size_t>(y % stencilRows_) * StencilRowBytes(w_), w_);
  }
  // The first row of `level` in step t (it may lie outside the image).
  int64_t FirstRow(int64_t t, int32_t level) const { return t * step_ - static_cast<int64_t>(lag_) * level; }

  void ComputeVotes(int32_t y, int32_t slot);
  void InitialRow(int32_t y, int32_t slot);
  void PassRow(int32_t level, int32_t y, int32_t slot);
  void FinalRow(int32_t y, int32_t slot);
  void RunSweep(CThreadPool& pool);

  const int32_t w_, h_, passes_;
  const bool bins_;
  int32_t step_ = 1, lag_ = 3, ringRows_ = 6, sweepPasses_ = 1, stencilRows_ = 1;

  // The planes of the run.
  ko::CTypedImg<float>* b_ = nullptr;
  const ko::CTypedImg<float>* c_ = nullptr;
  CBinPlanes* histograms_ = nullptr;

  ko::CTypedImg<float> folded_;
  CBuffer<uint8_t> stencils_;
  // Per level of the sweep being run: its energy and bin records.
  std::vector<SRows> energyLevels_, binLevels_;
  CBuffer<float> energyRingMemory_, binRingMemory_, energyWhole_[2], binWhole_[2];
  // Per thread slot: the raw rows of the final pass and the votes of one row.
  std::vector<SVotes> votes_;
  CBuffer<float> rawMemory_;

  std::vector<SItem> items_;  // the rows of one step
  int32_t sweepLevels_ = 0;
  bool firstSweep_ = true, lastSweep_ = true;
  SupportRowFn energyKernel_ = nullptr, binKernel_ = nullptr;
};

uint64_t CWavefront::Bytes(int32_t slots) const {
  const uint64_t rings = static_cast<uint64_t>(sweepPasses_) * ringRows_;
  uint64_t records = EnergyRowFloats() + (bins_ ? BinRowFloats() : 0);
  uint64_t bytes = static_cast<uint64_t>(w_) * h_ * sizeof(float);  // folded orientation
  bytes += static_cast<uint64_t>(stencilRows_) * StencilRowBytes(w_);
  bytes += (rings + (Sweeps() ? 2 * static_cast<uint64_t>(h_) : 0)) * records * sizeof(float);
  bytes += static_cast<uint64_t>(slots) * (RawFloats() * sizeof(float) + static_cast<uint64_t>(w_) * 12);
  return bytes;
}

ko::HRESULT CWavefront::Allocate(int32_t slots) {
  if (folded_.Create(w_, h_, 1, 4, folded_.type, 0) < 0) return ko::E_OUTOFMEMORY;
  if (!stencils_.Allocate(static_cast<size_t>(stencilRows_) * StencilRowBytes(w_))) return ko::E_OUTOFMEMORY;
  const size_t rings = static_cast<size_t>(sweepPasses_) * ringRows_;
  if (!energyRingMemory_.Allocate(rings * EnergyRowFloats())) return ko::E_OUTOFMEMORY;
  if (bins_ && !binRingMemory_.Allocate(rings * BinRowFloats())) return ko::E_OUTOFMEMORY;
  if (Sweeps()) {
    for (int i = 0; i < 2; ++i) {
      if (!energyWhole_[i].Allocate(static_cast<size_t>(h_) * EnergyRowFloats())) return ko::E_OUTOFMEMORY;
      if (bins_ && !binWhole_[i].Allocate(static_cast<size_t>(h_) * BinRowFloats())) return ko::E_OUTOFMEMORY;
    }
  }
  if (!rawMemory_.Allocate(RawFloats() * static_cast<size_t>(slots))) return ko::E_OUTOFMEMORY;
  // Small next to the buffers above, which have been had: a failure here is not expected,
  // but std::vector reports it by throwing, which the library must not let through.
  try {
    votes_.resize(static_cast<size_t>(slots));
    for (SVotes& v : votes_) {
      v.bin.assign(static_cast<size_t>(w_), -1);
      v.first.assign(static_cast<size_t>(w_), 0.0f);
      v.second.assign(static_cast<size_t>(w_), 0.0f);
    }
    energyLevels_.resize(static_cast<size_t>(sweepPasses_) + 1);
    binLevels_.resize(static_cast<size_t>(sweepPasses_) + 1);
  } catch (const std::bad_alloc&) {
    return ko::E_OUTOFMEMORY;
  }
  // The farthest apart two record rows of a pass can be: within a ring, or four rows of a
  // whole buffer; plus a row's own extent.
  const int64_t rowSpan = static_cast<int64_t>(std::max(ringRows_, 4) + 1) * static_cast<int64_t>(EnergyRowFloats());
  energyKernel_ = ChooseSupportRow(1, rowSpan);
  binKernel_ = ChooseSupportRow(kBins, rowSpan * kBins);
  return ko::S_OK;
}

// The votes of row y, exactly as the plain refinement casts them.
void CWavefront::ComputeVotes(int32_t y, int32_t slot) {
  SVotes& v = votes_[static_cast<size_t>(slot)];
  std::fill(v.bin.begin(), v.bin.end(), -1);
  if (y < kPassMargin || y >= h_ - kPassMargin) return;
  const float* energy = b_->Row(y);
  const float* orientation = c_->Row(y);
  for (int32_t x = kPassMargin; x < w_ - kPassMargin; ++x) {
    int32_t bin = 0;
    float fraction = 0.0f;
    if (!OrientationBin(orientation[x], &bin, &fraction)) continue;
    const double b = energy[x];
    v.bin[static_cast<size_t>(x)] = bin;
    v.first[static_cast<size_t>(x)] = static_cast<float>(b * (1.0 - fraction));
    v.second[static_cast<size_t>(x)] = static_cast<float>(b * fraction);
  }
}

// Records before the first pass: F = K = B and FB = KB = V, each added to its source.
void CWavefront::InitialRow(int32_t y, int32_t slot) {
  const float* energy = b_->Row(y);
  float* e = energyLevels_[0].Row(y);
  for (int32_t x = 0; x < w_; ++x) e[2 * x] = e[2 * x + 1] = energy[x] + energy[x];
  if (!bins_) return;
  float* r = binLevels_[0].Row(y);
  std::memset(r, 0, BinRowFloats() * sizeof(float));
  ComputeVotes(y, slot);
  const SVotes& v = votes_[static_cast<size_t>(slot)];
  for (int32_t x = kPassMargin; x < w_ - kPassMargin; ++x) {
    const int32_t bin = v.bin[static_cast<size_t>(x)];
    if (bin < 0) continue;
    const int32_t next = (bin + 1) % kBins;
    float* p = r + static_cast<size_t>(x) * kBinRecord;
    const float a = v.first[static_cast<size_t>(x)], b = v.second[static_cast<size_t>(x)];
    p[bin] = p[kBins + bin] = a + a;
    p[next] = p[kBins + next] = b + b;
  }
}

// Pass `level` of the sweep at row y, sampled from the level before it, each channel's
// source then added, ready for the next pass. Outside the pass margin the support is 0.
void CWavefront::PassRow(int32_t level, int32_t y, int32_t slot) {
  const float* energy = b_->Row(y);
  float* e = energyLevels_[static_cast<size_t>(level)].Row(y);
  float* r = bins_ ? binLevels_[static_cast<size_t>(level)].Row(y) : nullptr;
  if (y < kPassMargin || y >= h_ - kPassMargin) {
    for (int32_t x = 0; x < w_; ++x) e[2 * x] = e[2 * x + 1] = energy[x] + 0.0f;
    if (r) std::memset(r, 0, BinRowFloats() * sizeof(float));
    return;
  }
  const SStencilRow stencils = Stencils(y);
  const int32_t x0 = kPassMargin, x1 = w_ - kPassMargin;
  const float* rows[kRecordRows];
  const SRows& energyIn = energyLevels_[static_cast<size_t>(level) - 1];
  for (int d = 0; d < kRecordRows; ++d) rows[d] = energyIn.Row(y - 2 + d);
  energyKernel_(stencils, rows, 1, x0, x1, e);
  for (int32_t x = 0; x < w_; ++x) {
    if (x < x0 || x >= x1) {
      e[2 * x] = e[2 * x + 1] = energy[x] + 0.0f;
    } else {
      e[2 * x] = energy[x] + e[2 * x];
      e[2 * x + 1] = energy[x] + e[2 * x + 1];
    }
  }
  if (!r) return;
  const SRows& binsIn = binLevels_[static_cast<size_t>(level) - 1];
  for (int d = 0; d < kRecordRows; ++d) rows[d] = binsIn.Row(y - 2 + d);
  binKernel_(stencils, rows, kBins, x0, x1, r);
  std::memset(r, 0, static_cast<size_t>(x0) * kBinRecord * sizeof(float));
  std::memset(r + static_cast<size_t>(x1) * kBinRecord, 0, static_cast<size_t>(w_ - x1) * kBinRecord * sizeof(float));
  // Votes are sparse: a pixel's other bins add a source of 0, which leaves them as they are.
  ComputeVotes(y, slot);
  const SVotes& v = votes_[static_cast<size_t>(slot)];
  for (int32_t x = x0; x < x1; ++x) {
    const int32_t bin = v.bin[static_cast<size_t>(x)];
    if (bin < 0) continue;
    const int32_t next = (bin + 1) % kBins;
    float* p = r + static_cast<size_t>(x) * kBinRecord;
    const float a = v.first[static_cast<size_t>(x)], b = v.second[static_cast<size_t>(x)];
    p[bin] = a + p[bin];
    p[kBins + bin] = a + p[kBins + bin];
    p[next] = b + p[next];
    p[kBins + next] = b + p[kBins + next];
  }
}

// The last pass at row y, added to the energy (and the histograms) inside the final margin.
void CWavefront::FinalRow(int32_t y, int32_t slot) {
  if (y < kFinalMargin || y >= h_ - kFinalMargin) return;
  const int32_t x0 = kFinalMargin, x1 = w_ - kFinalMargin;
  float* raw = rawMemory_.get() + RawFloats() * static_cast<size_t>(slot);
  const SStencilRow stencils = Stencils(y);
  const float* rows[kRecordRows];
  const SRows& energyIn = energyLevels_[static_cast<size_t>(sweepLevels_) - 1];
  for (int d = 0; d < kRecordRows; ++d) rows[d] = energyIn.Row(y - 2 + d);
  energyKernel_(stencils, rows, 1, x0, x1, raw);
  float* energy = b_->Row(y);
  for (int32_t x = x0; x < x1; ++x)
    energy[x] = static_cast<float>((static_cast<double>(raw[2 * x + 1]) + raw[2 * x]) + energy[x]);
  if (!bins_) return;
  float* binRaw = raw + EnergyRowFloats();
  const SRows& binsIn = binLevels_[static_cast<size_t>(sweepLevels_) - 1];
  for (int d = 0; d < kRecordRows; ++d) rows[d] = binsIn.Row(y - 2 + d);
  binKernel_(stencils, rows, kBins, x0, x1, binRaw);
  for (int k = 0; k < kBins; ++k) {
    float* out = (*histograms_)[static_cast<size_t>(k)].Row(y);
    const float* fb = binRaw + k;
    const float* kb = binRaw + kBins + k;
    for (int32_t x = x0; x < x1; ++x) {
      const size_t at = static_cast<size_t>(x) * kBinRecord;
      out[x] = static_cast<float>((static_cast<double>(kb[at]) + fb[at]) + out[x]);
    }
  }
}

void CWavefront::RunSweep(CThreadPool& pool) {
  std::vector<SItem>& items = items_;
  for (int64_t t = 0; FirstRow(t, sweepLevels_) < h_; ++t) {
    items.clear();
    for (int32_t level = 0; level <= sweepLevels_; ++level) {
      const int64_t first = FirstRow(t, level);
      for (int64_t y = std::max<int64_t>(first, 0); y < std::min<int64_t>(first + step_, h_); ++y)
        items.push_back({level, static_cast<int32_t>(y)});
    }
    pool.ParallelFor(static_cast<int64_t>(items.size()), [&](int64_t i, int32_t slot) {
      const SItem item = items[static_cast<size_t>(i)];
      if (item.level == 0) {
        if (item.y >= kPassMargin && item.y < h_ - kPassMargin) ComputeStencilRow(folded_, item.y, Stencils(item.y));
        if (firstSweep_) InitialRow(item.y, slot);
      } else if (item.level == sweepLevels_ && lastSweep_) {
        FinalRow(item.y, slot);
      } else {
        PassRow(item.level, item.y, slot);
      }
    });
    // A pass is done with its last row: one dot for it.
    for (int32_t level = 1; level <= sweepLevels_; ++level) {
      const int64_t first = FirstRow(t, level);
      if (first <= h_ - 1 && h_ - 1 < first + step_) {
        std::printf(".");
        std::fflush(stdout);
      }
    }
  }
}

void CWavefront::Run(CThreadPool& pool, ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation,
                     CBinPlanes* histograms) {
  b_ = &energy;
  c_ = &orientation;
  histograms_ = histograms;
  pool.ParallelFor((h_ + 63) / 64, [&](int64_t block, int32_t) {
    const int32_t y0 = static_cast<int32_t>(block * 64);
    FoldOrientationRows(orientation, folded_, y0, std::min(h_, y0 + 64));
  });
  const size_t energyRow = EnergyRowFloats(), binRow = BinRowFloats();
  int whole = 0;  // the whole buffer the next sweep hands over in
  for (int32_t firstPass = 0; firstPass < passes_; firstPass += sweepLevels_) {
    sweepLevels_ = std::min(sweepPasses_, passes_ - firstPass);
    firstSweep_ = firstPass == 0;
    lastSweep_ = firstPass + sweepLevels_ == passes_;
    // Level 0 is the sweep's source: the records before the first pass, or the whole buffer
    // of the sweep before. Levels up to sweepLevels_ - 1 are rings; the last level is the
    // final pass or goes into a whole buffer for the next sweep.
    for (int32_t level = 0; level < sweepLevels_; ++level) {
      SRows& e = energyLevels_[static_cast<size_t>(level)];
      SRows& b = binLevels_[static_cast<size_t>(level)];
      if (level == 0 && !firstSweep_) {
        e = {energyWhole_[1 - whole].get(), h_, energyRow};
        b = {binWhole_[1 - whole].get(), h_, binRow};
      } else {
        e = {energyRingMemory_.get() + static_cast<size_t>(level) * ringRows_ * energyRow, ringRows_, energyRow};
        b = {bins_ ? binRingMemory_.get() + static_cast<size_t>(level) * ringRows_ * binRow : nullptr, ringRows_,
             binRow};
      }
    }
    if (!lastSweep_) {
      energyLevels_[static_cast<size_t>(sweepLevels_)] = {energyWhole_[whole].get(), h_, energyRow};
      binLevels_[static_cast<size_t>(sweepLevels_)] = {binWhole_[whole].get(), h_, binRow};
    }
    RunSweep(pool);
    whole = 1 - whole;
  }
}

// The image sizes at which no pixel receives the final addition.
bool NothingToRefine(int32_t w, int32_t h) { return w <= 2 * kFinalMargin || h <= 2 * kFinalMargin; }

// No pass: the energy keeps its value (the current-pass planes are zero) and the histograms
// receive twice the votes, inside the final margin.
void FinishWithoutPasses(ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation, CBinPlanes* histograms) {
  const int32_t w = energy.width, h = energy.height;
  for (int32_t y = kFinalMargin; y < h - kFinalMargin; ++y) {
    float* b = energy.Row(y);
    const float* c = orientation.Row(y);
    for (int32_t x = kFinalMargin; x < w - kFinalMargin; ++x) {
      float votes[kBins] = {};
      if (histograms) {
        int32_t bin = 0;
        float fraction = 0.0f;
        if (OrientationBin(c[x], &bin, &fraction)) {
          const double e = b[x];
          votes[bin] = static_cast<float>(e * (1.0 - fraction));
          votes[(bin + 1) % kBins] = static_cast<float>(e * fraction);
        }
        for (int k = 0; k < kBins; ++k) {
          float& out = (*histograms)[static_cast<size_t>(k)].At(x, y);
          out = static_cast<float>((static_cast<double>(votes[k]) + votes[k]) + out);
        }
      }
      b[x] = static_cast<float>((0.0 + 0.0f) + b[x]);
    }
  }
}

}  // namespace

uint64_t RefinementWavefrontBytes(int32_t w, int32_t h, int32_t passes, bool histograms, int32_t threads) {
  if (NothingToRefine(w, h) || passes <= 0) return 0;
  const CWavefront shape(w, h, passes, histograms);
  return shape.Bytes(threads);
}

ko::HRESULT RefineEdgeEnergyFast(CEdgeState& state, ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation) {
  if (!IsFloatPlane(energy) || !IsFloatPlane(orientation) || energy.width != orientation.width ||
      energy.height != orientation.height)
    return ko::E_INVALIDARG;
  const int32_t w = energy.width;
  const int32_t h = energy.height;
  const bool histograms = state.computeHistograms;
  const int32_t passes = state.iterations;
  if (histograms) {
    for (ko::CTypedImg<float>& plane : state.histograms) {
      if (plane.HasMemory() && plane.width == w && plane.height == h && plane.bands == 1) continue;
      const bool fresh = !plane.HasMemory();
      if (plane.Create(w, h, 1, 4, plane.type, 0) < 0) return ko::E_OUTOFMEMORY;
      if (!fresh) plane.Clear();  // new memory is zero already
    }
  }
  CBinPlanes* bins = histograms ? &state.histograms : nullptr;
  CThreadPool& pool = WorkerPool();
  const bool run = !NothingToRefine(w, h) && passes > 0;
  CWavefront wavefront(w, h, passes, histograms);
  if (run) {
    const ko::HRESULT hr = wavefront.Allocate(pool.Threads());
    if (hr < 0) return hr;
  }
  // The votes' error lines come first, as in the plain form.
  if (histograms) {
    for (int32_t y = kPassMargin; y < h - kPassMargin; ++y) {
      const float* c = orientation.Row(y);
      for (int32_t x = kPassMargin; x < w - kPassMargin; ++x) {
        int32_t bin = 0;
        float fraction = 0.0f;
        if (!OrientationBin(c[x], &bin, &fraction)) std::printf("ERROR %d %d %d\n", x, y, bin);
      }
    }
  }
  std::printf("Number of iterations = %d\n", passes);
  if (run) {
    wavefront.Run(pool, energy, orientation, bins);
    return ko::S_OK;
  }
  for (int32_t pass = 0; pass < passes; ++pass) {
    std::printf(".");
    std::fflush(stdout);
  }
  if (!NothingToRefine(w, h)) FinishWithoutPasses(energy, orientation, bins);
  return ko::S_OK;
}

}  // namespace brevant
