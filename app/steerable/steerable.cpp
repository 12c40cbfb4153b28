#include "app/steerable/steerable.h"

#include <algorithm>
#include <cmath>

#include "app/float_plane.h"
#include "app/steerable/steerable_kernels.h"

namespace brevant {

ko::HRESULT CheckSteerableArguments(float sigma, const ko::CTypedImg<float>& input,
                                    const ko::CTypedImg<float>& energy, const ko::CTypedImg<float>& orientation) {
  if (!(sigma > 0.0f) || !(sigma < static_cast<float>(1 << 29))) return ko::E_INVALIDARG;
  const auto sameSize = [&](const ko::CImg& a) { return a.width == input.width && a.height == input.height; };
  if (!IsFloatPlane(input) || !IsFloatPlane(energy) || !IsFloatPlane(orientation) || !sameSize(energy) ||
      !sameSize(orientation))
    return ko::E_INVALIDARG;
  return ko::S_OK;
}

ko::HRESULT ComputeSteerableEnergy(const CSchedule& schedule, float sigma, ko::CTypedImg<float> input,
                                   ko::CTypedImg<float> energy, ko::CTypedImg<float> orientation) {
  if (schedule.Reference()) return ComputeSteerableEnergyReference(sigma, input, energy, orientation);
  return ComputeSteerableEnergyFast(schedule, sigma, input, energy, orientation);
}

uint64_t SteerableBytes(const CSchedule& schedule, int32_t w, int32_t h, float sigma) {
  return schedule.Reference() ? SteerableReferenceBytes(w, h, sigma)
                              : SteerableFastBytes(schedule.Threads(), w, h, sigma);
}

uint64_t SteerableReferenceBytes(int32_t w, int32_t h, float sigma) {
  const uint64_t plane = static_cast<uint64_t>(std::max(w, 0)) * static_cast<uint64_t>(std::max(h, 0)) * sizeof(float);
  // The radius is refused from 2^30 on, so that is as far as the taps go.
  const double radius = sigma > 0.0f ? std::floor(std::fmin(2.0 * sigma, 1073741824.0)) : 0.0;
  const uint64_t taps = static_cast<uint64_t>(2.0 * radius + 1.0) * 6 * sizeof(float);
  return plane * (kBasisFilters + 1) + taps;  // the seven responses and one horizontal pass
}

}  // namespace brevant
