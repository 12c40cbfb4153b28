#include "app/output/result_stream.h"

#include <cerrno>
#include <exception>

namespace brevant {

CResultStream::CResultStream(CResultFile& file) : file_(file) {
  try {
    thread_ = std::thread(&CResultStream::Loop, this);
    syncer_ = std::thread(&CResultStream::SyncLoop, this);
  } catch (const std::exception&) {
    // No thread: WriteAt writes at once, and a write syncs when its turn comes.
  }
}

CResultStream::~CResultStream() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  syncWake_.notify_one();
  if (thread_.joinable()) thread_.join();
  if (syncer_.joinable()) syncer_.join();
}

void CResultStream::Sync() {
  if (file_.SyncData()) return;
  const int error = errno;
  std::lock_guard<std::mutex> lock(mutex_);
  if (error_ == 0) error_ = error;
}

void CResultStream::SyncLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    syncWake_.wait(lock, [&] { return stopping_ || syncWanted_; });
    if (!syncWanted_) return;
    syncWanted_ = false;
    syncing_ = true;
    lock.unlock();
    Sync();
    lock.lock();
    syncing_ = false;
    idle_.notify_all();
  }
}

void CResultStream::Write(const SJob& job) {
  bool failed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failed = error_ != 0;
  }
  if (failed) return;
  if (!file_.WriteAt(job.data, job.bytes, job.offset)) {
    const int error = errno;
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_ == 0) error_ = error;
    return;
  }
  file_.StartWriteback(job.offset, job.bytes);
  if (unsynced_.fetch_add(job.bytes) + job.bytes < kSyncBytes) return;
  unsynced_ = 0;
  if (!syncer_.joinable()) {
    Sync();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    syncWanted_ = true;
  }
  syncWake_.notify_one();
}

void CResultStream::WriteAt(const void* data, size_t bytes, uint64_t offset) {
  const SJob job{data, bytes, offset};
  if (thread_.joinable()) {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(job);
    } catch (const std::exception&) {
      Write(job);  // no room in the queue: write it now
      return;
    }
    wake_.notify_one();
    return;
  }
  Write(job);
}

void CResultStream::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing left
    const SJob job = jobs_.front();
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    Write(job);
    lock.lock();
    busy_ = false;
    idle_.notify_all();
  }
}

void CResultStream::WaitForBacklog(size_t jobs) {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [&] { return jobs_.size() + (busy_ ? 1 : 0) <= jobs; });
}

bool CResultStream::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  // A sync under way may be the one to meet a failure of the disk: its error is reported
  // here, since the file's final flush would not see it again.
  idle_.wait(lock, [&] { return jobs_.empty() && !busy_ && !syncWanted_ && !syncing_; });
  if (error_ != 0) {
    errno = error_;
    return false;
  }
  return true;
}

}  // namespace brevant
