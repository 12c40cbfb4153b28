#include "app/schedule.h"


namespace brevant {

int32_t CSchedule::ResolveThreads(int32_t threads) {
  // The processors this process may use: under taskset -c 0 one thread, not two on one core.
  if (threads <= 0) threads = ko::UsableProcessorCount();
  return threads > kMaxThreads ? kMaxThreads : threads;
}

namespace {

// Never more than the processor has, whatever was asked.
ko::CpuFeatures Allowed(const ko::CpuFeatures& asked) {
  const ko::CpuFeatures& hardware = ko::GetHardwareCpuFeatures();
  ko::CpuFeatures f;
  f.sse = asked.sse && hardware.sse;
  f.sse2 = asked.sse2 && hardware.sse2;
  f.avx2 = asked.avx2 && hardware.avx2;
  f.avx512 = asked.avx512 && hardware.avx512 && f.avx2;
  return f;
}

}  // namespace

CSchedule::CSchedule(EForm form, int32_t threads, const ko::CpuFeatures& features)
    : form_(form),
      features_(Allowed(features)),
      steerable_(SteerableLanesFor(features_)),
      contrast_(ContrastLanesFor(features_)),
      refine_(RefineLanesFor(features_)),
      pool_(form == EForm::kReference ? 1 : ResolveThreads(threads)) {}

}  // namespace brevant
