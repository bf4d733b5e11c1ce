// Test support for a full disk: a small tmpfs mounted over a directory (a
// test's storage root), and a filler file that takes all its free space and
// gives it back. Mounting needs root (CI runs the tests as root): a test
// skips itself when Mount fails.
//
// Thread-safety: one object per test; Fill and Free from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace ringwell::testing {

class SmallDisk {
 public:
  SmallDisk() = default;
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // Mounts a tmpfs of `bytes` over directory `dir` (whatever it held is
  // hidden until the unmount) and makes the storage root's subdirectories
  // (Inbox, Requests, Reports, Events, Status, Files/{0}) in it. False, with the
  // reason in *why, when it cannot be mounted.
  bool Mount(const std::string& dir, std::uint64_t bytes, std::string* why);
  // Takes the free space down to at most `leave` bytes with a filler file.
  void Fill(std::uint64_t leave = 0);
  // Removes the filler file.
  void Free();
  // Bytes free now.
  std::uint64_t FreeBytes() const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  int filler_count_ = 0;
};

}  // namespace ringwell::testing
