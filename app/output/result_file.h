// The result file, written safely: the planes go to a new temporary file in the target's
// folder (unnamed where the file system allows), which replaces the target only once every
// plane is written and flushed, so a failed or killed run never leaves a partial result nor
// destroys an earlier one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace brevant {

class CResultFile {
 public:
  CResultFile() = default;
  ~CResultFile();  // removes the temporary unless committed
  CResultFile(const CResultFile&) = delete;
  CResultFile& operator=(const CResultFile&) = delete;

  // Creates the temporary for `target`. False with errno set when it cannot be created
  // (also EISDIR when the target is a folder).
  bool Create(const std::string& target);
  // Appends all `bytes`; false with errno set (ENOSPC for a write that makes no progress).
  bool Write(const void* data, size_t bytes);
  // Writes all `bytes` at `offset`, leaving the position of Write alone; may be called from
  // several threads for different ranges. False with errno set, as Write. Pieces whose
  // address, size and offset are multiples of kDirectAlign go straight to the disk, past the
  // page cache (no copy), where the file system allows it.
  bool WriteAt(const void* data, size_t bytes, uint64_t offset);
  static constexpr size_t kDirectAlign = 4096;
  // Asks the system to start putting [offset, offset + bytes) on the disk now rather than at
  // Commit, so that the final flush has less to wait for. Only a hint.
  void StartWriteback(uint64_t offset, uint64_t bytes);
  // Waits until what has been written so far is on the disk (the disk's own cache flushed
  // too), so that Commit's flush has only the rest to wait for; false with errno set.
  bool SyncData();
  // Flushes and closes the temporary and renames it over the target; false with errno set,
  // the temporary removed.
  bool Commit();
  // Closes and removes the temporary.
  void Discard();

 private:
  bool WriteDirect(const uint8_t* data, size_t bytes, uint64_t offset);

  int fd_ = -1;
  int directFd_ = -1;  // the same file opened for direct writes, or -1
  std::string target_;
  std::string temporary_;  // the temporary's name; empty while it is unnamed
};

}  // namespace brevant
