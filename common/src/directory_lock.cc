#include "ringwell/common/directory_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell {

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DirectoryLock::~DirectoryLock() { Release(); }

std::string DirectoryLock::LockPathFor(const std::string& path) {
  return DirectoryOf(path) + ".lock";
}

std::int64_t DirectoryLock::LockOffsetFor(const std::string& path) {
  // FNV-1a of the name, kept well inside the range of offsets.
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : BaseNameOf(path)) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return static_cast<std::int64_t>(hash >> 2);
}

HRESULT DirectoryLock::Acquire(const std::string& path, DirectoryLock* out) {
  const std::string lock_path = LockPathFor(path);
  // O_NONBLOCK: a FIFO planted in place of the lock file must not hang the
  // open; it is refused below like any other file that is not regular.
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  UniqueFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | kFlags, 0666));
  if (fd.get() < 0) return HresultForPathError(errno == ELOOP ? EACCES : errno, lock_path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EACCES);
  // Every writer of the directory locks through this file, so in a directory
  // shared by its group it must stay writable by the group, whoever made it.
  if (st.st_uid == ::geteuid()) {
    UniqueFd dir(::open(DirectoryOf(lock_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const mode_t made = st.st_mode & 07777;
    if (dir.get() >= 0 && ModeInDirectory(dir.get(), made) != made) {
      ::fchmod(fd.get(), ModeInDirectory(dir.get(), made));
    }
  }
  if (!SetByteLock(fd.get(), F_WRLCK, LockOffsetFor(path), /*wait=*/true)) {
    return HresultFromErrno(errno);
  }
  out->Release();
  out->fd_ = fd.release();
  return S_OK;
}

bool SetByteLock(int fd, short type, std::int64_t offset, bool wait) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = offset;
  range.l_len = 1;
  while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void DirectoryLock::Release() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

}  // namespace ringwell
