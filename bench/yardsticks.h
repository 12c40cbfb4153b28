// The yardsticks the fast forms are measured against, in the same run.
#pragma once
#include <cstdint>
#include <vector>

#include "app/steerable/steerable_kernels.h"
#include "ko/core/img.h"
#include "ko/filter/kernel.h"

namespace brevant::bench {

// --- An exact refinement pass as a plain C loop that the compiler vectorises (built with
// -O3 -mavx2; only run where the processor has AVX2). The geometry of every pixel is
// precomputed with the plain sampler's own PrepareOrientedSupport; each pass is then a
// straight loop over all pixels with no branches the compiler cannot turn into selects.
struct SPlainLoopRefinement {
  int32_t w = 0, h = 0;
  // Per sample (0 forward, 1 backward) and neighbour (0..3), per pixel: the neighbour's
  // index, the index of its selected support in the [F | K] planes, its weight, and the
  // sample's fractions.
  std::vector<int32_t> index[2][4], select[2][4];
  std::vector<float> weight[2][4], fx[2], fy[2];
  std::vector<float> energy;                // B
  std::vector<float> support, nextSupport;  // [F | K] of the previous and the current pass
};

// Folds the orientation and precomputes every pixel's geometry; support = [B | B].
void PreparePlainLoop(const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation,
                      SPlainLoopRefinement* r);
// One pass: nextSupport from support, then the two are swapped.
void PlainLoopPass(SPlainLoopRefinement* r);

// --- OpenCV (Debian's libopencv), when the benchmark was built with it.
bool HaveOpenCv();
void SetOpenCvThreads(int32_t threads);
// The 14 one-dimensional passes of the steerable filters: seven separable filters with
// zero outside the image (taps dropped), one output plane each.
void OpenCvSteerablePasses(const ko::CTypedImg<float>& input, const SSteerableKernels& kernels,
                           std::vector<ko::CTypedImg<float>>* responses);
// The smoothing of the contrast normalisation: two planes, one kernel along both axes,
// replicated border.
void OpenCvSmoothTwo(const ko::CTypedImg<float>& a, const ko::CTypedImg<float>& b, const ko::CKernel& kernel,
                     ko::CTypedImg<float>* smoothA, ko::CTypedImg<float>* smoothB);

}  // namespace brevant::bench
