// Writes of the result file taken off the computing threads: rows of the last planes are
// queued as soon as they are final and written by a thread of their own while the passes go
// on, so that the time the disk needs overlaps the computation. The bytes must stay as
// they are until Finish has returned.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "app/output/result_file.h"

namespace brevant {

class CResultStream {
 public:
  // Without a thread (the system refused one) every write happens at once in WriteAt.
  explicit CResultStream(CResultFile& file);
  ~CResultStream();  // waits for what is queued
  CResultStream(const CResultStream&) = delete;
  CResultStream& operator=(const CResultStream&) = delete;

  // Queues `bytes` at `data` for the file position `offset`. After a failure nothing more
  // is written.
  void WriteAt(const void* data, size_t bytes, uint64_t offset);
  // Waits until every queued write is done; false with errno set to the first failure's.
  bool Finish();
  // Waits until at most `jobs` writes are queued or under way, so that the memory of the
  // others can be used again.
  void WaitForBacklog(size_t jobs);

 private:
  struct SJob {
    const void* data;
    size_t bytes;
    uint64_t offset;
  };
  void Loop();
  void Write(const SJob& job);  // with the mutex not held

  CResultFile& file_;
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<SJob> jobs_;
  bool busy_ = false, stopping_ = false;
  int error_ = 0;  // errno of the first failed write or sync
  std::thread thread_;

  // Every kSyncBytes written, a thread of its own syncs the file while the writes go on: the
  // disk's flush at the end, which takes about as long as the writes themselves, is spread
  // over the run instead.
  void SyncLoop();
  void Sync();  // with the mutex not held
  static constexpr uint64_t kSyncBytes = uint64_t{64} << 20;
  std::atomic<uint64_t> unsynced_{0};
  std::condition_variable syncWake_;
  bool syncWanted_ = false, syncing_ = false;
  std::thread syncer_;
};

}  // namespace brevant
