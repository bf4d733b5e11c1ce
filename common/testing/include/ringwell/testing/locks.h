// Whether a process or thread waits for a lock on a file, as the kernel shows
// it: a test holds a lock and sees the code under test queue behind it,
// without racing it.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace ringwell::testing {

// Whether a lock request on the file `path` is waiting: a "->" line of
// /proc/locks for its device and inode.
inline bool SomeoneWaitsToLock(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  char file[64];
  std::snprintf(file, sizeof file, " %02x:%02x:%lu ", ::major(st.st_dev), ::minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos && line.find(file) != std::string::npos) return true;
  }
  return false;
}

}  // namespace ringwell::testing
