// What tells that a file changed since it was last read: its device and
// inode (a file replaced by rename is another file), its size, and its
// modification and status-change times to the nanosecond. Caches of parsed
// files (request texts, report listings, part audio, the token file) keep a
// stamp beside what they made of a file and read it again when the stamp
// differs.
//
// Thread-safety: plain values and functions that keep no state.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace ringwell {

struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileStamp& other) const;
};

// The stamp of a file from its status (stat, fstat or lstat).
FileStamp StampOf(const struct stat& status);

// The stamp of the regular file at `path`, reached as LinkStatus reaches it
// (a link is not followed); nullopt for a link, a missing file or anything
// that is not a regular file.
std::optional<FileStamp> RegularFileStamp(const std::string& path);

}  // namespace ringwell
