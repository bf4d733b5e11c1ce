// What every fuzz target of the project shares: a private working directory
// and an environment with no registry, no journal and no event-log file, and
// a check that aborts with a message (libFuzzer keeps the input that did it).
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace ringwell::fuzz {

// A new directory (in memory where /dev/shm exists: the components sync what
// they write), ending with "/". With `storage`, it holds a storage root's
// subdirectories. Aborts when none can be made.
inline std::string MakeWorkDirectory(bool storage) {
  std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  pattern += "/ringwell-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  const std::string dir = pattern + "/";
  if (storage) {
    for (const char* sub : {"Inbox", "Requests", "Reports", "Files/{0}"}) {
      std::filesystem::create_directories(dir + sub);
    }
  }
  // No registry (the default limits), no journal, no event-log file.
  setenv("RINGWELL_REGISTRY", (dir + ".none/registry.toml").c_str(), 1);
  setenv("RINGWELL_JOURNAL", "0", 1);
  unsetenv("RINGWELL_EVENTLOG");
  return dir;
}

inline void Check(bool ok, const char* target, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
  }
}

}  // namespace ringwell::fuzz
