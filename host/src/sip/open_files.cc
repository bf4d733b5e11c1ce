#include "open_files.h"

#include <sys/resource.h>

#include <algorithm>

namespace ringwell::host::sip {

long OpenFilesFor(std::size_t lines) { return 256 + 4 * static_cast<long>(lines); }

long RaiseOpenFileLimit(long wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return OpenFileLimit();
  const rlim_t target = std::min<rlim_t>(static_cast<rlim_t>(wanted), limit.rlim_max);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < target) {
    limit.rlim_cur = target;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
  }
  return OpenFileLimit();
}

long OpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  return limit.rlim_cur == RLIM_INFINITY ? 1L << 20 : static_cast<long>(limit.rlim_cur);
}

}  // namespace ringwell::host::sip
