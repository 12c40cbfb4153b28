// Where a run's planes go: the result file, or memory a caller owns. The engine calls, in
// this order, Prepare, Open, PlaneMemory for each plane it makes, TakePlane for planes 0 and
// 1, TakeRows until every row is final, and Commit; after Prepare, any failure or a
// cancellation ends with Abandon instead. The engine keeps every plane and band it hands
// over alive until Commit or Abandon has returned.
//
// Planes: 0 oriented energy, 1 orientation, 2 refined energy, 3 + k histogram bin k; each
// W x H floats.
#pragma once
#include <cstdint>
#include <string>

#include "app/edge_state.h"
#include "app/run_control.h"

namespace brevant {

class CResultSink {
 public:
  virtual ~CResultSink() = default;

  // Checks that need no work; false with the words why.
  virtual bool Prepare(std::string* why) {
    (void)why;
    return true;
  }
  // The sink's own memory for plane p of a w x h result, which the engine then writes
  // straight into (`zero`: the memory holds +0 throughout). False: the engine makes the
  // plane itself and hands it over.
  virtual bool PlaneMemory(int32_t p, int32_t w, int32_t h, ko::CTypedImg<float>* plane, bool* zero) {
    (void)p, (void)w, (void)h, (void)plane, (void)zero;
    return false;
  }
  // Whether the histograms may come as a band of rows (TakeRows), never whole.
  virtual bool TakesHistogramBands() const { return false; }

  // Starts a w x h result of `planes` planes; false with the words why.
  virtual bool Open(int32_t w, int32_t h, int32_t planes, std::string* why) = 0;
  // Plane p (0 or 1) is final; false with the words why.
  virtual bool TakePlane(int32_t p, const ko::CTypedImg<float>& plane, std::string* why) = 0;
  // Rows [y0, y1) of the refined energy and, when the run has them, of the histograms are
  // final; every row comes once, in order, one call at a time, from the engine's thread or
  // one of its schedule's. While a call runs, the passes may make the next
  // kRefineRowsAtOnce x kRefineSetsAhead rows of the band (refine.h sizes it for that). Histogram row y lies in row y % histogramRows of
  // its plane. With a band (histogramRows < H), when this returns the sink is done with every
  // row but those of its latest write: the rows of this call and fewer than
  // kBandRowsPerWrite it kept back before them; the other rows of the band can be used again.
  // A failure is reported by Commit.
  virtual void TakeRows(const ko::CTypedImg<float>& refined, const CBinPlanes* histograms, int32_t histogramRows,
                        int32_t y0, int32_t y1) = 0;
  // Every row has come: completes the result, first logging the sink's closing line. False
  // with the words why (nothing of the result is kept then).
  virtual bool Commit(CRunLog& log, std::string* why) = 0;
  // The run failed or was cancelled: nothing of it is kept.
  virtual void Abandon() = 0;
};

}  // namespace brevant
