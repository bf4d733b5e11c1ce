#include "memory_limit.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace ringwell::testing {
namespace {

// The process's current address-space size in bytes.
std::size_t VirtualSize() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) * 1024;
  }
  return 0;
}

}  // namespace

bool MemoryLimitsUsable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

int RunWithMemoryHeadroom(std::size_t headroom, const std::function<bool()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit limit{VirtualSize() + headroom, VirtualSize() + headroom};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
      ok = false;
    }
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace ringwell::testing
