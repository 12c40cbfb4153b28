// A small pool of worker threads for the fast forms of the stages: one parallel loop at a
// time. Each thread first works through its own contiguous share of the indices, in order
// (so that the same thread keeps meeting the same region of an image, and its cache),
// then takes indices from the end of the shares of the others, so that a thread slowed by
// other work on the machine does less. A thread out of work watches for a few tens of
// microseconds for what comes next (the next loop usually follows at once), then sleeps on a
// condition variable; with more threads than cores none watches.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace brevant {

class CThreadPool {
 public:
  // Work of one index: the index and the slot of the thread running it (0 .. Threads() - 1),
  // so that each thread can own scratch memory.
  using Work = std::function<void(int64_t index, int32_t slot)>;

  // `threads` - 1 workers besides the calling thread; fewer when the system refuses to
  // start more (the pool then runs on those it has, down to the caller alone).
  explicit CThreadPool(int32_t threads);
  ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  int32_t Threads() const { return static_cast<int32_t>(workers_.size()) + 1; }

  // Runs work(i, slot) for every i in [0, count), on the workers and the caller; returns
  // when all have finished. Not reentrant: work must not call ParallelFor.
  void ParallelFor(int64_t count, const Work& work);

 private:
  void WorkerLoop(int32_t slot);
  void RunShare(int32_t slot);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;   // workers wait here for a new loop
  std::condition_variable done_;   // the caller waits here for the workers
  // Takes the next index for `slot`: from its own share, else from the back of another;
  // false when none is left. Called with the mutex held.
  bool TakeIndex(int32_t slot, int64_t* index);

  const Work* work_ = nullptr;
  // Per slot: the indices [front, back) of its share not yet handed out.
  std::vector<int64_t> front_, back_;
  uint64_t generation_ = 0;        // counts loops, so a worker joins each loop once
  std::atomic<uint64_t> published_{0};  // generation_, for workers watching without the mutex
  std::atomic<int32_t> busy_{0};        // workers still inside the current loop (changed under the mutex)
  bool stopping_ = false;
  bool watch_ = true;  // threads out of work watch before they sleep
};

}  // namespace brevant
