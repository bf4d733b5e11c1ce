#include "ringwell/common/unique_fd.h"

#include <unistd.h>

#include <cerrno>

namespace ringwell {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

HRESULT UniqueFd::Close() {
  const int fd = release();
  if (fd >= 0 && ::close(fd) != 0) return HresultFromErrno(errno);
  return S_OK;
}

}  // namespace ringwell
