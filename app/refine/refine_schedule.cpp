// The fast form of the refinement passes (and of the histograms that ride along with them).
//
// Instead of whole planes pass after pass, the passes run as a wavefront down the image:
// pass j works on rows a few rows behind pass j - 1, reading only the rows of it that it
// needs, so each pass keeps just a small ring of rows and the two double buffers of every
// plane (and the 180 histogram working planes) are never made. A pass's rows depend only on
// the previous pass, so all rows of one step of the wavefront are independent: each step's
// rows are spread over the schedule's threads, and the results cannot depend on the split.
// For very many passes the wavefront is cut into sweeps that hand over through one whole
// buffer, so that the rings never outgrow the planes they replace.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "app/float_plane.h"
#include "app/refine/refine.h"
#include "app/refine/refine_lanes.h"
#include "app/refine/refine_rule.h"
#include "app/refine/refine_stencil.h"
#include "ko/platform/ko_buffer.h"

namespace brevant {
namespace {

constexpr int32_t kBins = kHistogramBins;
constexpr int32_t kEnergyRecord = 2;       // forward, backward
// Rows of records of one pass: row y lives in slot y mod rows (rows = H: a whole buffer).
// A strip's rows hold only its columns [col0, ...): Row(y) is indexed by the image's column.
struct SRows {
  float* data = nullptr;
  int32_t rows = 1;
  size_t rowFloats = 0;
  size_t shift = 0;  // col0 times the floats of a pixel's record
  float* Row(int32_t y) const { return data + static_cast<size_t>(y % rows) * rowFloats - shift; }
};

// The passes of one run. Pass j of a sweep (its level j; level 0 is the sweep's source)
// works on rows `lag_` behind level j - 1, `step_` rows a step.
//
// With the histograms, every level's step is done before the next level's (depth first):
// level j then reads the rows level j - 1 has just written, while they are still in the
// cache, and a level needs only step_ + 4 rows. A wide image is moreover cut into vertical
// strips that run through all the passes on their own, a few steps at a time, with rings
// of their own columns only: a strip's records stay in the cache from pass to pass, where
// the rows of the whole width would not (a pass over 2048 columns takes twice the time a
// pixel of one over 256 does). Level j of a strip covers its columns widened by 2 (L - j)
// on the left, since a sample reads at most 2 columns away. The strips form one chain a
// thread, run from the right: within a chain a strip's levels stop 2 (L - j) columns short
// of its right end, which the next strip has worked out, and read the 4 columns across the
// border from that strip's halo; only a chain's last strip widens its levels on the right
// as well, working out columns of the next chain again, with the same bits. Narrow images
// spread each level's step over the threads in column chunks instead. Without histograms
// the records are small enough for the cache anyway, and all levels of one step run
// together (breadth first), one parallel loop a step.
class CWavefront {
 public:
  CWavefront(int32_t w, int32_t h, int32_t passes, bool histograms, const SRefineLanes& lanes, int32_t threads)
      : w_(w), h_(h), passes_(passes), bins_(histograms), lanes_(lanes) {
    step_ = kRefineStepRows;
    depthFirst_ = bins_;
    lag_ = depthFirst_ ? 2 : step_ + 2;
    ringRows_ = depthFirst_ ? step_ + 4 : 2 * step_ + 4;
    // Passes of one sweep: their rings stay below half of a whole buffer.
    sweepPasses_ = std::max<int32_t>(1, h_ / (2 * ringRows_));
    sweepPasses_ = std::min(sweepPasses_, std::max<int32_t>(passes_, 1));
    // Depth first, levels of one parity share a ring (RingOf). Between steps a level holds
    // the 4 rows the next one still reads, and the live rows of the levels of one parity lie
    // one after another down the image, the deepest level's lowest: 4 a level, plus the
    // step a level is writing. Far fewer rows than a ring a level, and each level writes
    // where rows were read a moment before, still in the cache.
    ringSlots_ = depthFirst_ ? 4 * ((sweepPasses_ + 1) / 2) + step_ : ringRows_;
    // Stencil rows from the newest (level 0) back to the oldest (the sweep's last level).
    stencilRows_ = static_cast<int32_t>(std::min<int64_t>(h_, static_cast<int64_t>(lag_) * sweepPasses_ + step_));
    PlanStrips(std::max(threads, 1));
  }

  // At most: with a source plane given to Allocate, a strip run makes no copy of its own.
  uint64_t Bytes(int32_t slots) const;
  // `source`: null, or a plane holding the energy's values that stays as it is for the run.
  ko::HRESULT Allocate(int32_t slots, const ko::CTypedImg<float>* source);
  // `histogramRows`: rows the histogram planes hold (row y at y % histogramRows).
  // False when the run was cancelled.
  bool Run(CThreadPool& pool, const CRunControl& control, ko::CTypedImg<float>& energy,
           const ko::CTypedImg<float>& orientation, CBinPlanes* histograms, int32_t histogramRows,
           bool histogramsZero, const RowsDoneFn& rowsDone);

 private:
  // A vertical strip of the image: the columns [x0, x1) it gives the final values of, and
  // the columns [col0, col0 + cols) its rings and stencils hold.
  struct SStrip {
    int32_t x0 = 0, x1 = 0, col0 = 0, cols = 0;
    // Whether the next strip of its chain works out its right-hand columns (see PlanStrips),
    // and whether it keeps a halo for the strip before it.
    bool skewed = false, keepsHalo = false;
    std::vector<SRows> energy, bins;  // per level of the sweep being run
    ko::CKoBuffer<uint8_t> stencils;
    ko::CKoBuffer<float> energyRing, binRing;
    // Per pass level of the sweep but the last: the records of its first kHaloColumns
    // columns, kHaloRows rows (row y at y % kHaloRows), energy then bins.
    ko::CKoBuffer<float> halo;
  };
  // Rows [y0, y1) of one level of a strip, columns [x0, x1).
  struct SBlock {
    int32_t level, y0, y1, x0, x1;
    int32_t strip;
  };

  static constexpr int32_t kChunk = 64;  // columns of a block: its rows' records stay in the cache
  // Rows a little longer than their pixels, so that the rows a pass reads and the row it
  // writes do not all fall on the same cache sets at the same column.
  static constexpr size_t kRowPad = 16;
  static constexpr int32_t kStripColumns = 256;   // a strip's records stay in the cache
  static constexpr int32_t kStripMaxPasses = 16;  // beyond this the widening costs too much
  static constexpr int32_t kStripSteps = kRefineRowsAtOnce / kRefineStepRows;  // before the next strip
  // A sample reads two columns either side: a skewed strip's level reads that many columns
  // of the next strip's level before it, on each side of their border.
  static constexpr int32_t kHaloColumns = 4;
  // The rows of a level the strip before reads in one run of steps, and those of the run
  // before it that it still reads, fit in this many.
  static constexpr int32_t kHaloRows = (kStripSteps + 2) * kRefineStepRows;

  bool Sweeps() const { return passes_ > sweepPasses_; }
  // Depth first, row y of level j is read for the last time by level j + 1 in the step in
  // which level j + 2 writes its own row y: the two can take the same place.
  int32_t Rings() const { return depthFirst_ ? std::min(sweepPasses_, 2) : sweepPasses_; }
  int32_t RingOf(int32_t level) const { return depthFirst_ ? level % 2 : level; }
  bool InStrips() const { return strips_.size() > 1; }
  size_t EnergyRowFloats(int32_t cols) const { return static_cast<size_t>(cols) * kEnergyRecord + kRowPad; }
  size_t BinRowFloats(int32_t cols) const { return static_cast<size_t>(cols) * kBinRecord + kRowPad; }
  size_t RawFloats() const { return static_cast<size_t>(kChunk) * (kEnergyRecord + (bins_ ? kBinRecord : 0)); }
  SStencilRow Stencils(const SStrip& s, int32_t y) const {
    const size_t rowBytes = StencilRowBytes(s.cols, bins_);
    return ShiftStencilRow(StencilRowAt(s.stencils.get() + static_cast<size_t>(y % stencilRows_) * rowBytes, s.cols, bins_),
                           s.col0);
  }
  // The first row of `level` in step t (it may lie outside the image).
  int64_t FirstRow(int64_t t, int32_t level) const { return t * step_ - static_cast<int64_t>(lag_) * level; }
  // The columns `level` of strip s covers in a sweep of `levels` passes.
  int32_t LevelLo(const SStrip& s, int32_t level, int32_t levels) const {
    return std::max(0, s.x0 - 2 * (levels - level));
  }
  int32_t LevelHi(const SStrip& s, int32_t level, int32_t levels) const {
    return s.skewed ? s.x1 - 2 * (levels - level) : std::min(w_, s.x1 + 2 * (levels - level));
  }
  // The end of the columns whose stencils and votes level 0 of strip s works out (and, in
  // the first sweep, its records): those of every level, and those level 1 reads.
  int32_t StencilHi(const SStrip& s, int32_t levels) const {
    return s.skewed ? std::max(s.x1, LevelHi(s, 1, levels) + 2) : LevelHi(s, 0, levels);
  }
  size_t HaloRowFloats() const {
    return static_cast<size_t>(kHaloColumns) * (kEnergyRecord + (bins_ ? kBinRecord : 0));
  }
  size_t HaloLevelFloats() const { return static_cast<size_t>(kHaloRows) * HaloRowFloats(); }
  size_t HaloFloats() const { return static_cast<size_t>(std::max(sweepPasses_ - 1, 0)) * HaloLevelFloats(); }
  void SaveHalo(const SStrip& s, int32_t level, int32_t y0, int32_t y1) const;
  void LoadHalo(const SStrip& s, const SStrip& next, int32_t level, int32_t y0, int32_t y1) const;

  void PlanStrips(int32_t threads);
  void DoBlock(const SBlock& block, int32_t slot);
  void ComputeVotes(const SStrip& s, int32_t y, int32_t x0, int32_t x1);
  void InitialRow(const SStrip& s, int32_t y, int32_t x0, int32_t x1);
  void PassRow(const SStrip& s, int32_t level, int32_t y, int32_t x0, int32_t x1);
  void FinalRow(const SStrip& s, int32_t y, int32_t x0, int32_t x1, int32_t slot);
  void FinalChunk(const SStrip& s, int32_t y, int32_t x0, int32_t x1, int32_t slot);
  void AddBlock(std::vector<SBlock>& blocks, int64_t t, int32_t level, bool chunked) const;
  void StripSteps(int32_t strip, int64_t t0, int64_t t1, int32_t slot);
  bool RunSweep(CThreadPool& pool, const CRunControl& control);
  bool RunChains(CThreadPool& pool, const CRunControl& control, int64_t steps);
  void FinishSteps(const CRunControl& control, int64_t t0, int64_t t1) const;

  const int32_t w_, h_, passes_;
  const bool bins_;  // with the histograms: the stencils hold SBinSample for lanes_.samplesRow
  const SRefineLanes lanes_;
  bool depthFirst_ = false;
  int32_t step_ = 8, lag_ = 2, ringRows_ = 12, ringSlots_ = 12, sweepPasses_ = 1, stencilRows_ = 1;

  // The planes of the run: b_ receives the refined energy, source_ keeps the normalised
  // energy every pass adds (b_'s own rows are refined while strips still read beside them).
  ko::CTypedImg<float>* b_ = nullptr;
  ko::CTypedImg<float> source_;
  bool copySource_ = false;  // source_ is the run's own copy, filled by Run
  const ko::CTypedImg<float>* c_ = nullptr;
  CBinPlanes* histograms_ = nullptr;
  int32_t histogramRows_ = 1;
  const RowsDoneFn* rowsDone_ = nullptr;
  bool histogramsZero_ = false;

  std::vector<SStrip> strips_;
  int32_t chains_ = 1;  // runs of adjacent strips, one thread each at a time
  ko::CKoBuffer<float> energyWhole_[2], binWhole_[2];
  // Per thread slot: the raw support of one chunk of the final pass.
  ko::CKoBuffer<float> rawMemory_;

  std::vector<SBlock> blocks_;  // the work of one parallel loop
  int32_t sweepLevels_ = 0;
  bool firstSweep_ = true, lastSweep_ = true;
  SupportRowFn energyKernel_ = nullptr;
};

void CWavefront::PlanStrips(int32_t threads) {
  // Only where strips pay: with the histograms, wide enough for two of them, and few passes.
  int32_t count = 1;
  if (depthFirst_ && w_ >= 2 * kStripColumns && sweepPasses_ <= kStripMaxPasses) {
    count = (w_ + kStripColumns - 1) / kStripColumns;
    count = (count + threads - 1) / threads * threads;  // the threads share them evenly
  }
  strips_.clear();
  strips_.reserve(static_cast<size_t>(count));
  // The strips form one chain a thread. Level j of a strip covers its columns widened by
  // 2 (L - j) on the left; on the right, the last strip of a chain widens its levels as well,
  // while the others stop 2 (L - j) short of their last column (skewed): the next strip of
  // the chain, run first, has worked those columns out already, and leaves its levels'
  // first columns in a halo for them to read.
  chains_ = count > 1 ? threads : 1;
  const int32_t perChain = count / chains_;
  const int32_t widen = count > 1 ? 2 * sweepPasses_ : 0;
  for (int32_t i = 0; i < count; ++i) {
    SStrip s;
    s.x0 = static_cast<int32_t>(static_cast<int64_t>(w_) * i / count);
    s.x1 = static_cast<int32_t>(static_cast<int64_t>(w_) * (i + 1) / count);
    s.skewed = i % perChain != perChain - 1;
    s.keepsHalo = i % perChain != 0;
    s.col0 = std::max(0, s.x0 - widen);
    s.cols = (s.skewed ? s.x1 + kHaloColumns / 2 : std::min(w_, s.x1 + widen)) - s.col0;
    strips_.push_back(std::move(s));
  }
}

uint64_t CWavefront::Bytes(int32_t slots) const {
  const uint64_t rings = static_cast<uint64_t>(Rings()) * ringSlots_;
  uint64_t bytes = InStrips() ? static_cast<uint64_t>(w_) * h_ * sizeof(float) : 0;  // the source's copy
  for (const SStrip& s : strips_) {
    const uint64_t records = EnergyRowFloats(s.cols) + (bins_ ? BinRowFloats(s.cols) : 0);
    bytes += static_cast<uint64_t>(stencilRows_) * StencilRowBytes(s.cols, bins_) + rings * records * sizeof(float);
    if (s.keepsHalo) bytes += HaloFloats() * sizeof(float);
  }
  if (Sweeps()) bytes += 2 * static_cast<uint64_t>(h_) * (EnergyRowFloats(w_) + (bins_ ? BinRowFloats(w_) : 0)) * sizeof(float);
  bytes += static_cast<uint64_t>(slots) * RawFloats() * sizeof(float);
  return bytes;
}

ko::HRESULT CWavefront::Allocate(int32_t slots, const ko::CTypedImg<float>* source) {
  if (source) {
    source_ = *source;
    copySource_ = false;
  } else if (InStrips()) {
    if (source_.Create(w_, h_, 1, 4, source_.type, 0) < 0) return ko::E_OUTOFMEMORY;
    copySource_ = true;
  }
  const size_t rings = static_cast<size_t>(Rings()) * ringSlots_;
  for (SStrip& s : strips_) {
    if (!s.stencils.AllocateLarge(static_cast<size_t>(stencilRows_) * StencilRowBytes(s.cols, bins_)))
      return ko::E_OUTOFMEMORY;
    if (!s.energyRing.AllocateLarge(rings * EnergyRowFloats(s.cols))) return ko::E_OUTOFMEMORY;
    if (bins_ && !s.binRing.AllocateLarge(rings * BinRowFloats(s.cols))) return ko::E_OUTOFMEMORY;
    if (s.keepsHalo && HaloFloats() > 0 && !s.halo.AllocateLarge(HaloFloats())) return ko::E_OUTOFMEMORY;
  }
  if (Sweeps()) {
    for (int i = 0; i < 2; ++i) {
      if (!energyWhole_[i].AllocateLarge(static_cast<size_t>(h_) * EnergyRowFloats(w_))) return ko::E_OUTOFMEMORY;
      if (bins_ && !binWhole_[i].AllocateLarge(static_cast<size_t>(h_) * BinRowFloats(w_))) return ko::E_OUTOFMEMORY;
    }
  }
  if (!rawMemory_.Allocate(RawFloats() * static_cast<size_t>(slots), true)) return ko::E_OUTOFMEMORY;
  // Small next to the buffers above: a failure here is not expected, but std::vector
  // reports it by throwing, which must not leave the library.
  try {
    for (SStrip& s : strips_) {
      s.energy.resize(static_cast<size_t>(sweepPasses_) + 1);
      s.bins.resize(static_cast<size_t>(sweepPasses_) + 1);
    }
    blocks_.reserve(static_cast<size_t>(sweepPasses_ + 1) * (step_ + w_ / kChunk + 1));
  } catch (const std::bad_alloc&) {
    return ko::E_OUTOFMEMORY;
  }
  // The farthest apart two record rows of a pass can be: within a ring, or four rows of a
  // whole buffer; plus a row's own extent.
  const int64_t rowSpan = static_cast<int64_t>(std::max(ringSlots_, 4) + 1) * static_cast<int64_t>(EnergyRowFloats(w_));
  // The gathers of the wide energy kernels take 32-bit indices.
  energyKernel_ = rowSpan < (int64_t{1} << 30) ? lanes_.energyRow : SupportRowScalar;
  return ko::S_OK;
}

// The votes of row y, columns [x0, x1), as the reference refinement casts them, kept with
// the row's stencils for every pass.
void CWavefront::ComputeVotes(const SStrip& s, int32_t y, int32_t x0, int32_t x1) {
  const SStencilRow st = Stencils(s, y);
  const float* energy = source_.Row(y);
  const float* orientation = c_->Row(y);
  for (int32_t x = x0; x < x1; ++x) {
    st.voteBin[x] = -1;
    int32_t bin = 0;
    float fraction = 0.0f;
    if (!OrientationBin(orientation[x], &bin, &fraction)) continue;
    st.voteBin[x] = static_cast<int8_t>(bin);
    SplitVote(energy[x], fraction, &st.voteFirst[x], &st.voteSecond[x]);
  }
}

// Records before the first pass: F = K = B and FB = KB = V, each added to its source.
void CWavefront::InitialRow(const SStrip& s, int32_t y, int32_t x0, int32_t x1) {
  const float* energy = source_.Row(y);
  float* e = s.energy[0].Row(y);
  for (int32_t x = x0; x < x1; ++x) e[2 * x] = e[2 * x + 1] = RecordValue(energy[x], energy[x]);
  if (!bins_) return;
  float* r = s.bins[0].Row(y);
  std::memset(r + static_cast<size_t>(x0) * kBinRecord, 0, static_cast<size_t>(x1 - x0) * kBinRecord * sizeof(float));
  if (y < kPassMargin || y >= h_ - kPassMargin) return;
  const int32_t v0 = std::max(x0, kPassMargin), v1 = std::min(x1, w_ - kPassMargin);
  const SStencilRow v = Stencils(s, y);  // level 0 has just cast them
  for (int32_t x = v0; x < v1; ++x) {
    const int32_t bin = v.voteBin[x];
    if (bin < 0) continue;
    const int32_t next = (bin + 1) % kBins;
    float* p = r + static_cast<size_t>(x) * kBinRecord;
    const float a = v.voteFirst[x], b = v.voteSecond[x];
    p[bin] = p[kBinHalf + bin] = RecordValue(a, a);
    p[next] = p[kBinHalf + next] = RecordValue(b, b);
  }
}

// Pass `level` of the sweep at row y, columns [x0, x1): sampled from the level before it,
// then each channel's source added, ready for the next pass. Outside the pass margin the
// support is 0.
void CWavefront::PassRow(const SStrip& s, int32_t level, int32_t y, int32_t x0, int32_t x1) {
  const float* energy = source_.Row(y);
  float* e = s.energy[static_cast<size_t>(level)].Row(y);
  float* r = bins_ ? s.bins[static_cast<size_t>(level)].Row(y) : nullptr;
  const bool insideRow = y >= kPassMargin && y < h_ - kPassMargin;
  const int32_t k0 = insideRow ? std::max(x0, kPassMargin) : x0;
  const int32_t k1 = insideRow ? std::min(x1, w_ - kPassMargin) : x0;
  const SStencilRow stencils = insideRow ? Stencils(s, y) : SStencilRow{};
  const float* rows[kRecordRows];
  const float* binRows[kRecordRows];
  if (k0 < k1) {
    const SRows& energyIn = s.energy[static_cast<size_t>(level) - 1];
    for (int d = 0; d < kRecordRows; ++d) rows[d] = energyIn.Row(y - 2 + d);
    if (bins_) {
      const SRows& binsIn = s.bins[static_cast<size_t>(level) - 1];
      for (int d = 0; d < kRecordRows; ++d) binRows[d] = binsIn.Row(y - 2 + d);
      lanes_.samplesRow(stencils, rows, binRows, k0, k1, e, r);
    } else {
      energyKernel_(stencils, rows, 1, k0, k1, e);
    }
  }
  for (int32_t x = x0; x < x1; ++x) {
    if (x < k0 || x >= k1) {
      e[2 * x] = e[2 * x + 1] = RecordValue(energy[x], 0.0f);
    } else {
      e[2 * x] = RecordValue(energy[x], e[2 * x]);
      e[2 * x + 1] = RecordValue(energy[x], e[2 * x + 1]);
    }
  }
  if (!r) return;
  if (k0 >= k1) {
    std::memset(r + static_cast<size_t>(x0) * kBinRecord, 0, static_cast<size_t>(x1 - x0) * kBinRecord * sizeof(float));
    return;
  }
  std::memset(r + static_cast<size_t>(x0) * kBinRecord, 0, static_cast<size_t>(k0 - x0) * kBinRecord * sizeof(float));
  std::memset(r + static_cast<size_t>(k1) * kBinRecord, 0, static_cast<size_t>(x1 - k1) * kBinRecord * sizeof(float));
  // Votes are sparse: the other bins add a source of 0, which leaves them as they are.
  for (int32_t x = k0; x < k1; ++x) {
    const int32_t bin = stencils.voteBin[x];
    if (bin < 0) continue;
    const int32_t next = (bin + 1) % kBins;
    float* p = r + static_cast<size_t>(x) * kBinRecord;
    const float a = stencils.voteFirst[x], b = stencils.voteSecond[x];
    p[bin] = RecordValue(a, p[bin]);
    p[kBinHalf + bin] = RecordValue(a, p[kBinHalf + bin]);
    p[next] = RecordValue(b, p[next]);
    p[kBinHalf + next] = RecordValue(b, p[kBinHalf + next]);
  }
}

// The last pass at row y, columns [x0, x1), added to the energy and the histograms inside
// the final margin.
void CWavefront::FinalRow(const SStrip& s, int32_t y, int32_t x0, int32_t x1, int32_t slot) {
  if (y < kFinalMargin || y >= h_ - kFinalMargin) {
    // A band's row may still hold a row from before.
    if (bins_ && histogramRows_ < h_) {
      for (ko::CTypedImg<float>& plane : *histograms_)
        std::memset(plane.Row(y % histogramRows_) + x0, 0, static_cast<size_t>(x1 - x0) * sizeof(float));
    }
    return;
  }
  x0 = std::max(x0, kFinalMargin);
  x1 = std::min(x1, w_ - kFinalMargin);
  // The scratch holds one chunk.
  for (int32_t x = x0; x < x1; x += kChunk) FinalChunk(s, y, x, std::min(x1, x + kChunk), slot);
}

void CWavefront::FinalChunk(const SStrip& s, int32_t y, int32_t x0, int32_t x1, int32_t slot) {
  // The kernels write pixel x at 2 C x: shift the scratch so that x0 lands at its start.
  float* raw = rawMemory_.get() + RawFloats() * static_cast<size_t>(slot);
  float* energyRaw = raw - static_cast<intptr_t>(x0) * kEnergyRecord;
  const SStencilRow stencils = Stencils(s, y);
  const float* rows[kRecordRows];
  const float* binRows[kRecordRows];
  const SRows& energyIn = s.energy[static_cast<size_t>(sweepLevels_) - 1];
  for (int d = 0; d < kRecordRows; ++d) rows[d] = energyIn.Row(y - 2 + d);
  float* binStart = raw + static_cast<size_t>(kChunk) * kEnergyRecord;
  float* binRaw = binStart - static_cast<intptr_t>(x0) * kBinRecord;
  if (bins_) {
    const SRows& binsIn = s.bins[static_cast<size_t>(sweepLevels_) - 1];
    for (int d = 0; d < kRecordRows; ++d) binRows[d] = binsIn.Row(y - 2 + d);
  }
  if (bins_)
    lanes_.samplesRow(stencils, rows, binRows, x0, x1, energyRaw, binRaw);
  else
    energyKernel_(stencils, rows, 1, x0, x1, energyRaw);
  const float* before = source_.Row(y);
  float* energy = b_->Row(y);
  for (int32_t x = x0; x < x1; ++x) energy[x] = RefinedValue(energyRaw[2 * x], energyRaw[2 * x + 1], before[x]);
  if (!bins_) return;
  float* out[kBins];
  for (int k = 0; k < kBins; ++k) out[k] = (*histograms_)[static_cast<size_t>(k)].Row(y % histogramRows_);
  lanes_.accumulate(binRaw, x0, x1, out, histogramsZero_);
}

void CWavefront::DoBlock(const SBlock& block, int32_t slot) {
  const SStrip& s = strips_[static_cast<size_t>(block.strip)];
  for (int32_t y = block.y0; y < block.y1; ++y) {
    if (block.level == 0) {
      if (y >= kPassMargin && y < h_ - kPassMargin) {
        const int32_t x0 = std::max(block.x0, kPassMargin), x1 = std::min(block.x1, w_ - kPassMargin);
        ComputeStencilRow(*c_, y, Stencils(s, y), x0, x1, lanes_.weightExponents, lanes_.weightExp);
        if (bins_ && x0 < x1) ComputeVotes(s, y, x0, x1);
      }
      if (firstSweep_) InitialRow(s, y, block.x0, block.x1);
    } else if (block.level == sweepLevels_ && lastSweep_) {
      FinalRow(s, y, block.x0, block.x1, slot);
    } else {
      PassRow(s, block.level, y, block.x0, block.x1);
    }
  }
}

// The rows of `level` in step t, in chunks of columns or whole (one strip: the image).
void CWavefront::AddBlock(std::vector<SBlock>& blocks, int64_t t, int32_t level, bool chunked) const {
  const int64_t first = FirstRow(t, level);
  const int32_t y0 = static_cast<int32_t>(std::max<int64_t>(first, 0));
  const int32_t y1 = static_cast<int32_t>(std::min<int64_t>(first + step_, h_));
  if (y0 >= y1) return;
  if (!chunked) {
    // A row at a time, so that the threads share the step evenly.
    for (int32_t y = y0; y < y1; ++y) blocks.push_back({level, y, y + 1, 0, w_, 0});
    return;
  }
  for (int32_t x = 0; x < w_; x += kChunk) blocks.push_back({level, y0, y1, x, std::min(w_, x + kChunk), 0});
}

// The first kHaloColumns columns of strip s's rows [y0, y1) of `level` (a pass level, not the
// sweep's last) into its halo.
void CWavefront::SaveHalo(const SStrip& s, int32_t level, int32_t y0, int32_t y1) const {
  const int32_t x = LevelLo(s, level, sweepLevels_);
  float* halo = s.halo.get() + static_cast<size_t>(level - 1) * HaloLevelFloats();
  for (int32_t y = y0; y < y1; ++y) {
    float* out = halo + static_cast<size_t>(y % kHaloRows) * HaloRowFloats();
    std::memcpy(out, s.energy[static_cast<size_t>(level)].Row(y) + static_cast<size_t>(x) * kEnergyRecord,
                kHaloColumns * kEnergyRecord * sizeof(float));
    if (bins_)
      std::memcpy(out + kHaloColumns * kEnergyRecord,
                  s.bins[static_cast<size_t>(level)].Row(y) + static_cast<size_t>(x) * kBinRecord,
                  kHaloColumns * kBinRecord * sizeof(float));
  }
}

// Rows [y0, y1) of `level` of the strip after skewed strip s, from its halo, into the columns
// of s's rows just after its own.
void CWavefront::LoadHalo(const SStrip& s, const SStrip& next, int32_t level, int32_t y0, int32_t y1) const {
  const int32_t x = LevelHi(s, level, sweepLevels_);
  const float* halo = next.halo.get() + static_cast<size_t>(level - 1) * HaloLevelFloats();
  for (int32_t y = y0; y < y1; ++y) {
    const float* in = halo + static_cast<size_t>(y % kHaloRows) * HaloRowFloats();
    std::memcpy(s.energy[static_cast<size_t>(level)].Row(y) + static_cast<size_t>(x) * kEnergyRecord, in,
                kHaloColumns * kEnergyRecord * sizeof(float));
    if (bins_)
      std::memcpy(s.bins[static_cast<size_t>(level)].Row(y) + static_cast<size_t>(x) * kBinRecord,
                  in + kHaloColumns * kEnergyRecord, kHaloColumns * kBinRecord * sizeof(float));
  }
}

// Steps [t0, t1) of one strip, every level of a step before the next step. A skewed strip's
// next strip has done these steps already.
void CWavefront::StripSteps(int32_t strip, int64_t t0, int64_t t1, int32_t slot) {
  const SStrip& s = strips_[static_cast<size_t>(strip)];
  const SStrip* next = s.skewed ? &strips_[static_cast<size_t>(strip) + 1] : nullptr;
  for (int64_t t = t0; t < t1; ++t) {
    for (int32_t level = 0; level <= sweepLevels_; ++level) {
      const int64_t first = FirstRow(t, level);
      const int32_t y0 = static_cast<int32_t>(std::max<int64_t>(first, 0));
      const int32_t y1 = static_cast<int32_t>(std::min<int64_t>(first + step_, h_));
      if (y0 >= y1) continue;
      // The rows of the level before that this level reads (its source, level 0, covers
      // them itself).
      if (next && level >= 2) LoadHalo(s, *next, level - 1, std::max(0, y0 - 2), std::min(h_, y1 + 2));
      const int32_t hi = level == 0 ? StencilHi(s, sweepLevels_) : LevelHi(s, level, sweepLevels_);
      DoBlock({level, y0, y1, LevelLo(s, level, sweepLevels_), hi, strip}, slot);
      if (s.keepsHalo && level >= 1 && level < sweepLevels_) SaveHalo(s, level, y0, y1);
    }
  }
}

// Steps [t0, t1) are done: their final rows, and a dot for each pass that has finished.
void CWavefront::FinishSteps(const CRunControl& control, int64_t t0, int64_t t1) const {
  const int64_t first = std::max<int64_t>(FirstRow(t0, sweepLevels_), 0);
  const int64_t end = std::min<int64_t>(FirstRow(t1, sweepLevels_), h_);
  if (lastSweep_ && *rowsDone_ && first < end) (*rowsDone_)(static_cast<int32_t>(first), static_cast<int32_t>(end));
  for (int32_t level = 1; level <= sweepLevels_; ++level) {
    if (FirstRow(t0, level) <= h_ - 1 && h_ - 1 < FirstRow(t1, level)) {
      control.Log().Write(".");
      control.Log().Flush();
    }
  }
}

// The chains, each on a thread of its own (there are as many as the pool has threads, and a
// chain may wait for another), run a set of kStripSteps steps of their strips after another.
// No chain waits for the others after every set: a set's rows are told (and the dots of the
// passes it finishes written) once every chain has done it, by the chain that did it last,
// while the others may go on to the next kRefineSetsAhead sets. A barrier after every set
// left a thread idle whenever the other lost time to the result's writer.
bool CWavefront::RunChains(CThreadPool& pool, const CRunControl& control, int64_t steps) {
  const int64_t sets = (steps + kStripSteps - 1) / kStripSteps;
  const int32_t perChain = static_cast<int32_t>(strips_.size()) / chains_;
  std::mutex mutex;
  std::condition_variable told;
  std::vector<int64_t> done(static_cast<size_t>(chains_), 0);  // sets each chain has done
  int64_t setsTold = 0;
  bool telling = false, stopped = false;
  pool.ParallelFor(chains_, [&](int64_t chain, int32_t slot) {
    for (int64_t set = 0; set < sets; ++set) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        told.wait(lock, [&] { return stopped || setsTold >= set - kRefineSetsAhead; });
        // Every pass is a step or two further on: stopping here is stopping between passes.
        if (!stopped && control.Cancelled()) stopped = true;
        if (stopped) {
          told.notify_all();
          return;
        }
      }
      const int64_t t0 = set * kStripSteps;
      // From the right: a skewed strip reads the halo of the one after it.
      for (int32_t i = perChain - 1; i >= 0; --i)
        StripSteps(static_cast<int32_t>(chain) * perChain + i, t0, std::min(steps, t0 + kStripSteps), slot);
      std::unique_lock<std::mutex> lock(mutex);
      done[static_cast<size_t>(chain)] = set + 1;
      // One chain tells at a time, in order; it also tells the sets the others finish meanwhile.
      while (!telling && !stopped && setsTold < *std::min_element(done.begin(), done.end())) {
        telling = true;
        const int64_t next = setsTold;
        lock.unlock();
        FinishSteps(control, next * kStripSteps, std::min(steps, (next + 1) * kStripSteps));
        lock.lock();
        telling = false;
        setsTold = next + 1;
        told.notify_all();
      }
    }
  });
  return !stopped;
}

bool CWavefront::RunSweep(CThreadPool& pool, const CRunControl& control) {
  int64_t steps = 0;
  while (FirstRow(steps, sweepLevels_) < h_) ++steps;
  if (InStrips()) return RunChains(pool, control, steps);
  const auto work = [this](int64_t i, int32_t slot) { DoBlock(blocks_[static_cast<size_t>(i)], slot); };
  for (int64_t t = 0; t < steps; ++t) {
    if (control.Cancelled()) return false;
    if (depthFirst_) {
      for (int32_t level = 0; level <= sweepLevels_; ++level) {
        blocks_.clear();
        AddBlock(blocks_, t, level, true);
        pool.ParallelFor(static_cast<int64_t>(blocks_.size()), work);
      }
    } else {
      blocks_.clear();
      for (int32_t level = 0; level <= sweepLevels_; ++level) AddBlock(blocks_, t, level, false);
      pool.ParallelFor(static_cast<int64_t>(blocks_.size()), work);
    }
    FinishSteps(control, t, t + 1);
  }
  return true;
}

bool CWavefront::Run(CThreadPool& pool, const CRunControl& control, ko::CTypedImg<float>& energy,
                     const ko::CTypedImg<float>& orientation, CBinPlanes* histograms, int32_t histogramRows,
                     bool histogramsZero, const RowsDoneFn& rowsDone) {
  rowsDone_ = &rowsDone;
  histogramRows_ = histogramRows;
  histogramsZero_ = histogramsZero;
  b_ = &energy;
  c_ = &orientation;
  histograms_ = histograms;
  // One strip reads its own rows only where the final pass has not reached them yet; strips
  // read beside them, so they take the normalised energy from the caller's plane or a copy.
  if (copySource_) {
    pool.ParallelFor((h_ + 63) / 64, [&](int64_t block, int32_t) {
      const int32_t y0 = static_cast<int32_t>(block * 64);
      const int32_t y1 = std::min(h_, y0 + 64);
      for (int32_t y = y0; y < y1; ++y)
        std::memcpy(source_.Row(y), energy.Row(y), static_cast<size_t>(w_) * sizeof(float));
    });
  } else if (!source_.HasMemory()) {
    source_ = energy;
  }
  const size_t energyWholeRow = EnergyRowFloats(w_), binWholeRow = BinRowFloats(w_);
  int whole = 0;  // the whole buffer the next sweep hands over in
  for (int32_t firstPass = 0; firstPass < passes_; firstPass += sweepLevels_) {
    sweepLevels_ = std::min(sweepPasses_, passes_ - firstPass);
    firstSweep_ = firstPass == 0;
    lastSweep_ = firstPass + sweepLevels_ == passes_;
    // Level 0 is the sweep's source: the records before the first pass, or the whole buffer
    // of the sweep before. Levels up to sweepLevels_ - 1 are rings; the last level is the
    // final pass or goes into a whole buffer for the next sweep.
    for (SStrip& s : strips_) {
      const size_t energyRow = EnergyRowFloats(s.cols), binRow = BinRowFloats(s.cols);
      const size_t energyShift = static_cast<size_t>(s.col0) * kEnergyRecord;
      const size_t binShift = static_cast<size_t>(s.col0) * kBinRecord;
      for (int32_t level = 0; level < sweepLevels_; ++level) {
        SRows& e = s.energy[static_cast<size_t>(level)];
        SRows& b = s.bins[static_cast<size_t>(level)];
        if (level == 0 && !firstSweep_) {
          e = {energyWhole_[1 - whole].get(), h_, energyWholeRow, 0};
          b = {binWhole_[1 - whole].get(), h_, binWholeRow, 0};
        } else {
          const size_t ring = static_cast<size_t>(RingOf(level)) * ringSlots_;
          e = {s.energyRing.get() + ring * energyRow, ringSlots_, energyRow, energyShift};
          b = {bins_ ? s.binRing.get() + ring * binRow : nullptr, ringSlots_, binRow, binShift};
        }
      }
      if (!lastSweep_) {
        s.energy[static_cast<size_t>(sweepLevels_)] = {energyWhole_[whole].get(), h_, energyWholeRow, 0};
        s.bins[static_cast<size_t>(sweepLevels_)] = {binWhole_[whole].get(), h_, binWholeRow, 0};
      }
    }
    if (!RunSweep(pool, control)) return false;
    whole = 1 - whole;
  }
  return true;
}

// Whether the rows of two planes overlap anywhere in memory.
bool SharesMemory(const ko::CTypedImg<float>& a, const ko::CTypedImg<float>& b) {
  const auto span = [](const ko::CTypedImg<float>& p) {
    const float* first = p.Row(0);
    const float* last = p.Row(p.height - 1);
    const float* lo = std::min(first, last);
    const float* hi = std::max(first, last) + p.width;
    return std::pair<uintptr_t, uintptr_t>(reinterpret_cast<uintptr_t>(lo), reinterpret_cast<uintptr_t>(hi));
  };
  const auto [a0, a1] = span(a);
  const auto [b0, b1] = span(b);
  return a0 < b1 && b0 < a1;
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
      if (histograms) {
        float votes[kBins] = {};
        int32_t bin = 0;
        float fraction = 0.0f;
        if (OrientationBin(c[x], &bin, &fraction)) SplitVote(b[x], fraction, &votes[bin], &votes[(bin + 1) % kBins]);
        for (int k = 0; k < kBins; ++k) {
          float& out = (*histograms)[static_cast<size_t>(k)].At(x, y);
          out = RefinedValue(votes[k], votes[k], out);
        }
      }
      b[x] = RefinedValue(0.0f, 0.0f, b[x]);
    }
  }
}

}  // namespace

bool RefinementStreamsRows(int32_t w, int32_t h, int32_t passes) { return !NothingToRefine(w, h) && passes > 0; }

uint64_t RefineFastBytes(int32_t threads, int32_t w, int32_t h, int32_t passes, bool histograms) {
  if (NothingToRefine(w, h) || passes <= 0) return 0;
  const CWavefront shape(w, h, passes, histograms, SRefineLanes(), threads);
  return shape.Bytes(std::max(threads, 1));
}

ko::HRESULT RefineEdgeEnergyFast(const CSchedule& schedule, const CRunControl& control, CEdgeState& state,
                                 ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation, bool histogramsZero,
                                 const RowsDoneFn& rowsDone, int32_t bandRows, const ko::CTypedImg<float>* source) {
  if (!IsFloatPlane(energy) || !IsFloatPlane(orientation) || energy.width != orientation.width ||
      energy.height != orientation.height)
    return ko::E_INVALIDARG;
  if (source && (!IsFloatPlane(*source) || source->width != energy.width || source->height != energy.height))
    return ko::E_INVALIDARG;
  // A source in the energy's own memory would change under the passes: they copy it then.
  if (source && SharesMemory(*source, energy)) source = nullptr;
  const int32_t w = energy.width;
  const int32_t h = energy.height;
  const bool histograms = state.computeHistograms;
  const int32_t passes = state.iterations;
  if (bandRows > 0) {
    if (!RefinementStreamsRows(w, h, passes)) return ko::E_INVALIDARG;
    for (const ko::CTypedImg<float>& plane : state.histograms)
      if (histograms && (!IsFloatPlane(plane) || plane.width != w || plane.height != bandRows)) return ko::E_INVALIDARG;
  } else if (histograms) {
    for (ko::CTypedImg<float>& plane : state.histograms) {
      if (plane.HasMemory() && plane.width == w && plane.height == h && plane.bands == 1) continue;
      const bool fresh = !plane.HasMemory();
      if (plane.Create(w, h, 1, 4, plane.type, 0) < 0) return ko::E_OUTOFMEMORY;
      if (!fresh) plane.Clear();  // new memory is zero already
    }
  }
  CBinPlanes* bins = histograms ? &state.histograms : nullptr;
  CThreadPool& pool = schedule.Pool();
  const bool run = !NothingToRefine(w, h) && passes > 0;
  CWavefront wavefront(w, h, passes, histograms, schedule.Refine(), pool.Threads());
  if (run) {
    const ko::HRESULT hr = wavefront.Allocate(pool.Threads(), source);
    if (hr < 0) return hr;
  }
  CRunLog& log = control.Log();
  // The votes' error lines come first, as in the reference form: the rows that have any are
  // found by the threads, and their lines written in order.
  if (histograms && h > 2 * kVoteMargin) {
    const auto errorIn = [&](int32_t y, bool write) {
      const float* c = orientation.Row(y);
      bool any = false;
      for (int32_t x = kVoteMargin; x < w - kVoteMargin; ++x) {
        int32_t bin = 0;
        float fraction = 0.0f;
        if (OrientationBin(c[x], &bin, &fraction)) continue;
        if (!write) return true;
        log.Printf("ERROR %d %d %d\n", x, y, bin);
        any = true;
      }
      return any;
    };
    std::vector<uint8_t> rowsWithErrors;
    try {
      rowsWithErrors.assign(static_cast<size_t>(h), 0);
    } catch (const std::bad_alloc&) {
      return ko::E_OUTOFMEMORY;
    }
    constexpr int32_t kRowsAtOnce = 64;
    pool.ParallelFor((h - 2 * kVoteMargin + kRowsAtOnce - 1) / kRowsAtOnce, [&](int64_t block, int32_t) {
      const int32_t y0 = kVoteMargin + static_cast<int32_t>(block) * kRowsAtOnce;
      const int32_t y1 = std::min(h - kVoteMargin, y0 + kRowsAtOnce);
      for (int32_t y = y0; y < y1; ++y) rowsWithErrors[static_cast<size_t>(y)] = errorIn(y, false);
    });
    for (int32_t y = kVoteMargin; y < h - kVoteMargin; ++y)
      if (rowsWithErrors[static_cast<size_t>(y)]) errorIn(y, true);
  }
  log.Printf("Number of iterations = %d\n", passes);
  if (run) {
    const bool done = wavefront.Run(pool, control, energy, orientation, bins, bandRows > 0 ? bandRows : h,
                                    bandRows > 0 || histogramsZero, rowsDone);
    return done ? ko::S_OK : ko::E_ABORT;
  }
  for (int32_t pass = 0; pass < passes; ++pass) {
    if (control.Cancelled()) return ko::E_ABORT;
    log.Write(".");
    log.Flush();
  }
  if (!NothingToRefine(w, h)) FinishWithoutPasses(energy, orientation, bins);
  if (rowsDone) rowsDone(0, h);
  return ko::S_OK;
}

}  // namespace brevant
