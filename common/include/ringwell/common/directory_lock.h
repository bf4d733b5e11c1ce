// DirectoryLock: the exclusive advisory lock that every read-modify-write of a
// report holds (the report generator's updates, the toolkit's cancellation).
//
// It locks one byte of a single lock file per directory, ".lock" beside the
// guarded files, at an offset derived from the guarded file's name: the
// guarded file itself is replaced by rename on every save (a lock on a
// replaced inode would guard nothing), and one lock file per directory never
// needs cleaning up however many files it guards. Two names that happen to
// share a byte merely wait for each other, so a caller must never hold two
// locks of one directory at once. The lock belongs to the open file
// description (an OFD lock), so it excludes other threads of the same process
// as well as other processes. The lock file is never reached through a
// symbolic link and must be a regular file; a writer that may not write it is
// refused access.
//
// Thread-safety: Acquire may be called from any thread; one object is used by
// one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "ringwell/common/hresult.h"

namespace ringwell {

class DirectoryLock {
 public:
  DirectoryLock() = default;
  DirectoryLock(DirectoryLock&& other) noexcept;
  DirectoryLock& operator=(DirectoryLock&& other) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock();

  // Blocks until this caller holds the exclusive lock guarding `path`.
  static HRESULT Acquire(const std::string& path, DirectoryLock* out);
  // Path of the lock file that guards `path` (and every file beside it).
  static std::string LockPathFor(const std::string& path);
  // Offset of the byte that stands for `path` in that lock file.
  static std::int64_t LockOffsetFor(const std::string& path);

  bool held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
};

// Sets (F_WRLCK, F_RDLCK) or clears (F_UNLCK) the OFD lock of one byte of
// `fd` at `offset`, waiting for it when `wait` (errno tells why when not
// granted): the lock of DirectoryLock, of the hosts' shares and of the
// leader leases (leader_lease.h).
bool SetByteLock(int fd, short type, std::int64_t offset, bool wait);

}  // namespace ringwell
