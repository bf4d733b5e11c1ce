#include "ringwell/common/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

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

namespace {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseNameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

HRESULT HresultForPathError(int err, const std::string& path) {
  if (err == ENOENT) {
    std::string dir = DirectoryOf(path);
    if (!dir.empty() && !IsDirectory(dir)) return HresultFromWin32(ERROR_PATH_NOT_FOUND);
  }
  return HresultFromErrno(err);
}

HRESULT ReadWholeFile(const std::string& path, std::string* content) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return HresultForPathError(errno, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return HresultFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return HresultFromErrno(EISDIR);
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return HresultFromErrno(errno);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  *content = std::move(data);
  return S_OK;
}

HRESULT WriteFileAtomically(const std::string& path, std::string_view content) {
  std::string temp = DirectoryOf(path) + "." + BaseNameOf(path) + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.get() < 0) return HresultForPathError(errno, path);
  const std::string temp_path(name.data());
  // mkostemp creates the file 0600; give it the usual mode.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd.get(), 0666 & ~mask);
  if (!WriteAll(fd.get(), content) || ::fsync(fd.get()) != 0) {
    const int err = errno;
    ::unlink(temp_path.c_str());
    return HresultFromErrno(err);
  }
  if (::close(fd.release()) != 0 || ::rename(temp_path.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp_path.c_str());
    return HresultForPathError(err, path);
  }
  return S_OK;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

HRESULT MakeUniqueFile(const std::string& dir, std::string_view prefix, std::string_view suffix,
                       std::string* path) {
  std::string base = dir;
  if (!base.empty() && base.back() != '/') base += '/';
  std::string pattern = base + std::string(prefix) + "XXXXXX" + std::string(suffix);
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) return HresultForPathError(errno, pattern);
  ::close(fd);
  *path = name.data();
  return S_OK;
}

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileLock::~FileLock() { Release(); }

std::string FileLock::LockPathFor(const std::string& path) {
  return DirectoryOf(path) + "." + BaseNameOf(path) + ".lock";
}

HRESULT FileLock::Acquire(const std::string& path, FileLock* out) {
  const std::string lock_path = LockPathFor(path);
  UniqueFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    const int err = errno;
    // A lock file another user made may not be writable by this one; a lock
    // needs only an open descriptor.
    if (err == EACCES) fd.reset(::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return HresultForPathError(err, lock_path);
  }
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return HresultFromErrno(errno);
  }
  out->Release();
  out->fd_ = fd.release();
  return S_OK;
}

void FileLock::Release() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

}  // namespace ringwell
