// Follows a file that several API instances on one storage root append whole
// lines to, under a file lock, and that one of them now and then replaces by
// a shorter copy (written beside it and renamed over it): each Read gives the
// whole lines added since the last one or, when the file was replaced
// (another inode, or the bytes before what was read differ: a file system
// may give a new file the inode number of one removed) or cut (shorter than
// what was read), all of it again.
//
// Thread-safety: one object is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ringwell::api {

class FileTail {
 public:
  explicit FileTail(std::string path) : path_(std::move(path)) {}

  struct Lines {
    std::vector<std::string> lines;  // without their newlines
    bool anew = false;               // the file was replaced: `lines` is all of it
  };
  // The whole lines not read yet (a missing file has none).
  Lines Read();
  // Whether Read would find something: one stat, for a poll.
  bool Changed() const;
  // Takes the file as read to its end: after this instance appended to it
  // (or replaced it) while it held the file's lock, having read it first.
  void Skip();
  // Whether the file ends in a line without its newline (a writer that died
  // in the middle of it): the next line appended must start on a line of
  // its own.
  bool Unfinished() const { return unfinished_; }

 private:
  const std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::uint64_t offset_ = 0;  // after the last whole line read
  std::uint64_t size_ = 0;    // the size last seen
  std::string last_bytes_;    // the last bytes before offset_
  bool unfinished_ = false;
};

}  // namespace ringwell::api
