#include "app/thread_pool.h"

#include <memory>
#include <exception>
#include <new>

#include "app/pipeline_options.h"

namespace brevant {

CThreadPool::CThreadPool(int32_t threads) {
  // Starting a thread can fail (resource limits, memory); the pool then makes do with fewer.
  try {
    workers_.reserve(threads > 1 ? static_cast<size_t>(threads - 1) : 0);
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

// Takes indices of the current loop until none is left.
void CThreadPool::RunShare(int32_t slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (next_ < count_) {
    const int64_t index = next_++;
    const Work* work = work_;
    lock.unlock();
    (*work)(index, slot);
    lock.lock();
  }
}

void CThreadPool::WorkerLoop(int32_t slot) {
  uint64_t seen = 0;
  for (;;) {
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
    count_ = count;
    next_ = 0;
    busy_ = static_cast<int32_t>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();
  RunShare(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return busy_ == 0; });
  work_ = nullptr;
}

CThreadPool& WorkerPool() {
  static std::unique_ptr<CThreadPool> pool;
  static CThreadPool callerOnly(1);  // when no pool can be made at all
  static int32_t madeFor = 0;
  const int32_t wanted = WorkerThreads();
  if (!pool || madeFor != wanted) {
    pool.reset();
    pool.reset(new (std::nothrow) CThreadPool(wanted));
    madeFor = wanted;
  }
  return pool ? *pool : callerOnly;
}

}  // namespace brevant
