// Whole-file helpers shared by the components: whole-file reads, atomic
// replacement (temporary file in the same directory, fsync, rename, so that a
// reader never sees half a file), copies, unique temporary names, and
// FileLock, the exclusive advisory lock that every read-modify-write of a
// shared file holds.
//
// FileLock locks a companion file ".<name>.lock" beside the guarded file, not
// the file itself: the guarded file is replaced by rename on every save, and a
// lock on a replaced inode would guard nothing. The lock is taken per open file
// description, so it excludes other threads of the same process as well as
// other processes.
//
// They are built on the path primitives of safe_files.h, which never include
// anything of this file: below a registered storage root none of these
// follows a symbolic link; lock files never do.
//
// Failures are status codes from errno (HresultFromErrno); a missing directory
// gives the path-not-found code, a missing file in an existing directory the
// file-not-found code (HresultForPathError).
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "ringwell/common/hresult.h"

namespace ringwell {

HRESULT ReadWholeFile(const std::string& path, std::string* content);
// What is left to read of the open file `fd` (`size_hint`: its expected size,
// to reserve once).
HRESULT ReadOpenFile(int fd, std::size_t size_hint, std::string* content);
// Whether an atomic replacement flushes the new file's data to disk before
// the rename (kSynced), or leaves that to one later sync of the whole file
// system (SyncFileSystem in safe_files.h) that the caller makes before
// anything depends on the file surviving a power cut. Either way a reader
// never sees half a file.
enum class Durability { kSynced, kSyncedLater };

// Replaces (or creates) `path` with `content` atomically.
HRESULT WriteFileAtomically(const std::string& path, std::string_view content,
                            Durability durability = Durability::kSynced);
// The same with the content written by `write` into the open temporary file
// (which is then flushed to disk as `durability` says, closed and renamed
// over `path`).
HRESULT ReplaceFileWith(const std::string& path, const std::function<HRESULT(int fd)>& write,
                        Durability durability = Durability::kSynced);
// Writes all of `data` to `fd`; false with errno set on failure.
bool WriteAll(int fd, std::string_view data);

// Copies regular file `from` to `to` (replaced atomically when it exists).
// A source that is not a regular file fails.
HRESULT CopyRegularFile(const std::string& from, const std::string& to);

// Creates a new empty file named prefix + unique part + suffix in `dir` and
// returns its path.
HRESULT MakeUniqueFile(const std::string& dir, std::string_view prefix, std::string_view suffix,
                       std::string* path);

// The system's temporary directory ($TMPDIR, else /tmp), ending with "/".
std::string TempDirectory();

class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  // Blocks until this caller holds the exclusive lock guarding `path`.
  static HRESULT Acquire(const std::string& path, FileLock* out);
  // Path of the companion lock file that guards `path`.
  static std::string LockPathFor(const std::string& path);

  bool held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
};

}  // namespace ringwell
