// UniqueFd: a file descriptor owned by one object and closed when it goes
// away, the handle every file operation of the components passes around.
//
// Thread-safety: one object belongs to one thread at a time; distinct
// objects may be used from any thread.
#pragma once

#include "ringwell/common/hresult.h"

namespace ringwell {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  // Gives up ownership; the caller closes the descriptor.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1);
  // Closes now; the status code of a failing close (data not written).
  HRESULT Close();

 private:
  int fd_ = -1;
};

}  // namespace ringwell
