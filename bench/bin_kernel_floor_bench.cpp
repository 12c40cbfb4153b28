// How fast one refinement pass with the 36 histogram bins could be at best on this machine:
// the exact sample rule alone, its records in the nearest cache, no other memory traffic. Each
// bin of each of the two samples of a pixel takes four terms (weight times record in float,
// widened, times the bilinear weight in double, added, the sum rounded to float after each
// term): for a 2048 x 2048 image 4M x 2 x 4 x 9 groups of four double lanes, three
// conversions a group; in AVX2 lanes and, where the processor has them, AVX-512 lanes. Run on
// one thread and on two at once.
//
// Beside it, in turns with the floor, the pass's own row kernel (the fastest form this
// processor has) over rows of a strip that stay in the second-level cache, with stencils of
// a photograph's kind (neighbours up to two columns and rows away, a third of them read
// backward): what the kernel costs beyond the arithmetic, before the rest of the pass (its
// strips' overlap, the other rows' bookkeeping, memory) adds its share.
//
//   build/bench/bin_kernel_floor_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <vector>

#include "app/refine/refine_lanes.h"
#include "app/schedule.h"
#include "bench/floors.h"

namespace {

using namespace brevant;

// Milliseconds the row kernel takes for `pixels` pixels, on the rows of a 296-column strip.
double RowKernelMs(int64_t pixels, const SRefineLanes& lanes) {
  constexpr int32_t kWidth = 296, kRows = 12, kOut = 8;
  const size_t binRow = static_cast<size_t>(kWidth) * kBinRecord + 16, energyRow = 2 * kWidth + 16;
  std::vector<float> bins(kRows * binRow), energy(kRows * energyRow), binOut(kOut * binRow), energyOut(kOut * energyRow);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (float& v : bins) v = unit(rng);
  for (float& v : energy) v = unit(rng);
  std::vector<SBinSample> samples(static_cast<size_t>(kOut) * 2 * kWidth);
  for (SBinSample& b : samples) {
    for (float& w : b.weight) w = unit(rng);
    b.fx = unit(rng);
    b.fy = unit(rng);
    const int column = static_cast<int>(unit(rng) * 4.0f) - 2;
    for (int i = 0; i < 4; ++i) b.half[i] = static_cast<int8_t>(2 * (column + (i & 1)) + (unit(rng) < 0.3f));
    b.dy = static_cast<int8_t>(static_cast<int>(unit(rng) * 3.0f) - 2);
    b.flags = kStencilValid;
  }
  const int64_t perRound = static_cast<int64_t>(kOut) * (kWidth - 8);
  const auto start = std::chrono::steady_clock::now();
  for (int64_t done = 0; done < pixels; done += perRound) {
    for (int32_t r = 0; r < kOut; ++r) {
      SStencilRow st{};
      st.binSample[0] = &samples[static_cast<size_t>(2 * r) * kWidth];
      st.binSample[1] = &samples[static_cast<size_t>(2 * r + 1) * kWidth];
      const float* energyRows[kRecordRows];
      const float* binRows[kRecordRows];
      for (int d = 0; d < kRecordRows; ++d) {
        energyRows[d] = &energy[static_cast<size_t>(r + d) * energyRow];
        binRows[d] = &bins[static_cast<size_t>(r + d) * binRow];
      }
      lanes.samplesRow(st, energyRows, binRows, 4, kWidth - 4, &energyOut[static_cast<size_t>(r) * energyRow],
                       &binOut[static_cast<size_t>(r) * binRow]);
    }
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  using namespace brevant::bench;
  constexpr int64_t kPixels = 2048L * 2048;
  {
    const brevant::SRefineLanes lanes = brevant::RefineLanesFor(brevant::CSchedule(brevant::EForm::kFast, 1).Features());
    const bool wide = HaveAvx512();
    double floor = 1e30, kernel = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
      floor = std::min(floor, BinPassFloorMs(kPixels, 1, wide));
      kernel = std::min(kernel, RowKernelMs(kPixels, lanes));
    }
    std::printf("36-bin pass, 1 thread, %s: arithmetic floor %.1f ms, row kernel on cached rows %.1f ms (%.2f x)\n",
                wide ? "AVX-512" : "AVX2", floor, kernel, kernel / floor);
  }
  for (bool wide : {false, true}) {
    if (wide && !HaveAvx512()) break;
    for (int threads : {1, 2}) {
      double best = 1e30;
      for (int rep = 0; rep < 3; ++rep) {
        const double ms = BinPassFloorMs(kPixels, threads, wide);
        if (ms < best) best = ms;
      }
      std::printf("36-bin pass, exact sample arithmetic only, %s, %d thread%s: %.1f ms\n", wide ? "AVX-512" : "AVX2",
                  threads, threads > 1 ? "s" : "", best);
    }
  }
}
