#include "app/threads/thread_pool.h"

#include <chrono>
#include <exception>

#include "ko/platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace brevant {
namespace {

// How long a thread that has run out of work watches for the next loop (a worker) or for
// the others to finish (the caller) before it sleeps. Stages run their loops back to back,
// a few tens of microseconds apart, and waking a sleeping thread costs about as much.
constexpr auto kWatch = std::chrono::microseconds(50);

inline void Relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Watches `ready` for at most kWatch; whether it came true.
template <class Ready>
bool WatchFor(bool watch, Ready ready) {
  if (!watch) return ready();
  const auto until = std::chrono::steady_clock::now() + kWatch;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
      Relax();
    }
    if (std::chrono::steady_clock::now() >= until) return ready();
  }
}

}  // namespace

CThreadPool::CThreadPool(int32_t threads) {
  // More threads than cores: a watching thread would hold a core another one needs.
  watch_ = threads <= ko::UsableProcessorCount();
  // Starting a thread can fail (resource limits, memory); the pool then makes do with fewer.
  try {
    const size_t slots = threads > 1 ? static_cast<size_t>(threads) : 1;
    front_.assign(slots, 0);
    back_.assign(slots, 0);
    workers_.reserve(slots - 1);
    for (int32_t slot = 1; slot < threads; ++slot) workers_.emplace_back(&CThreadPool::WorkerLoop, this, slot);
  } catch (const std::exception&) {
  }
}

CThreadPool::~CThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

bool CThreadPool::TakeIndex(int32_t slot, int64_t* index) {
  const size_t own = static_cast<size_t>(slot);
  if (front_[own] < back_[own]) {
    *index = front_[own]++;
    return true;
  }
  // Steal from the share with most left, from its end.
  size_t victim = own;
  int64_t most = 0;
  for (size_t s = 0; s < front_.size(); ++s) {
    if (back_[s] - front_[s] > most) {
      most = back_[s] - front_[s];
      victim = s;
    }
  }
  if (most == 0) return false;
  *index = --back_[victim];
  return true;
}

// Takes indices of the current loop until none is left.
void CThreadPool::RunShare(int32_t slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  int64_t index = 0;
  while (TakeIndex(slot, &index)) {
    const Work* work = work_;
    lock.unlock();
    (*work)(index, slot);
    lock.lock();
  }
}

void CThreadPool::WorkerLoop(int32_t slot) {
  uint64_t seen = 0;
  for (;;) {
    WatchFor(watch_, [&] { return published_.load(std::memory_order_acquire) != seen; });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    RunShare(slot);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busy_ == 0) done_.notify_one();
  }
}

void CThreadPool::ParallelFor(int64_t count, const Work& work) {
  if (count <= 0) return;
  if (workers_.empty() || count == 1) {
    for (int64_t i = 0; i < count; ++i) work(i, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    work_ = &work;
    const int64_t threads = Threads();
    for (int64_t s = 0; s < threads; ++s) {
      front_[static_cast<size_t>(s)] = count * s / threads;
      back_[static_cast<size_t>(s)] = count * (s + 1) / threads;
    }
    busy_ = static_cast<int32_t>(workers_.size());
    ++generation_;
    published_.store(generation_, std::memory_order_release);
  }
  wake_.notify_all();
  RunShare(0);
  WatchFor(watch_, [&] { return busy_.load(std::memory_order_acquire) == 0; });
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return busy_ == 0; });
  work_ = nullptr;
}

}  // namespace brevant
