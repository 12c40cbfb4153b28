// How a run computes: the reference forms (one thread, whole planes, the oracle) or the fast
// forms, on how many threads, with which processor features, and the lane kernels of every
// stage chosen once for those features. A schedule is made by whoever starts a run and is
// handed explicitly to every stage; nothing about it lives in process-wide state, so runs
// with different schedules may go on at the same time in one process. The results are the
// same bits whatever the schedule; only time and memory differ.
//
// A schedule owns its worker threads and serves one run at a time.
#pragma once
#include <cstdint>

#include "app/contrast/contrast_lanes.h"
#include "app/refine/refine_lanes.h"
#include "app/steerable/steerable_lanes.h"
#include "app/threads/thread_pool.h"
#include "ko/platform/cpu_features.h"

namespace brevant {

enum class EForm { kReference, kFast };

class CSchedule {
 public:
  // The most threads a schedule runs.
  static constexpr int32_t kMaxThreads = 64;

  // `threads` <= 0: one per processor core this process may run on. The reference form always runs on one thread.
  // `features` may only be a subset of the processor's own (tests force narrower forms so).
  explicit CSchedule(EForm form = EForm::kFast, int32_t threads = 0,
                     const ko::CpuFeatures& features = ko::GetCpuFeatures());
  CSchedule(const CSchedule&) = delete;
  CSchedule& operator=(const CSchedule&) = delete;

  EForm Form() const { return form_; }
  bool Reference() const { return form_ == EForm::kReference; }
  // Threads the stages use: what the pool could start, at least 1.
  int32_t Threads() const { return pool_.Threads(); }
  const ko::CpuFeatures& Features() const { return features_; }

  const SSteerableLanes& Steerable() const { return steerable_; }
  const SContrastLanes& Contrast() const { return contrast_; }
  const SRefineLanes& Refine() const { return refine_; }

  CThreadPool& Pool() const { return pool_; }

  // The thread count `threads` asks for: itself, or one per usable core for 0 or less, at
  // most kMaxThreads.
  static int32_t ResolveThreads(int32_t threads);

 private:
  EForm form_;
  ko::CpuFeatures features_;
  SSteerableLanes steerable_;
  SContrastLanes contrast_;
  SRefineLanes refine_;
  mutable CThreadPool pool_;  // made last: the lane choice does not depend on it
};

}  // namespace brevant
