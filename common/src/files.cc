#include "ringwell/common/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell {

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

namespace {

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

HRESULT ReadWholeFile(const std::string& path, std::string* content) {
  UniqueFd fd;
  HRESULT hr = OpenFile(path, O_RDONLY, 0, &fd);
  if (Failed(hr)) return hr;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return HresultFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return HresultFromErrno(EISDIR);
  return ReadOpenFile(fd.get(), static_cast<std::size_t>(st.st_size), content);
}

HRESULT ReadOpenFile(int fd, std::size_t size_hint, std::string* content) {
  std::string data;
  data.reserve(size_hint);
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
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

HRESULT ReplaceFileWith(const std::string& path, const std::function<HRESULT(int fd)>& write,
                        Durability durability) {
  UniqueFd dir;
  std::string leaf;
  HRESULT hr = OpenParentDirectory(path, &dir, &leaf);
  if (Failed(hr)) return hr;
  if (leaf.empty() || leaf == "." || leaf == "..") return HresultFromErrno(EISDIR);
  std::string temp;
  UniqueFd fd;
  // The temporary file is made with the usual mode.
  hr = CreateUniqueFileAt(dir.get(), "." + leaf + ".", "", 0666 & ~CurrentUmask(), &temp, &fd);
  if (Failed(hr)) return hr;
  hr = write(fd.get());
  if (Succeeded(hr) && durability == Durability::kSynced && ::fsync(fd.get()) != 0) {
    hr = HresultFromErrno(errno);
  }
  if (Succeeded(hr) && ::close(fd.release()) != 0) hr = HresultFromErrno(errno);
  if (Succeeded(hr) && ::renameat(dir.get(), temp.c_str(), dir.get(), leaf.c_str()) != 0) {
    hr = HresultForPathError(errno, path);
  }
  if (Failed(hr)) ::unlinkat(dir.get(), temp.c_str(), 0);
  return hr;
}

HRESULT WriteFileAtomically(const std::string& path, std::string_view content,
                            Durability durability) {
  return ReplaceFileWith(
      path, [content](int fd) { return WriteAll(fd, content) ? S_OK : HresultFromErrno(errno); },
      durability);
}

HRESULT CopyRegularFile(const std::string& from, const std::string& to) {
  UniqueFd source;
  HRESULT hr = OpenFile(from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, &source);
  if (Failed(hr)) return hr;
  struct stat st {};
  if (::fstat(source.get(), &st) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  return ReplaceFileWith(to, [&](int target) -> HRESULT {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(source.get(), buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        return HresultFromErrno(errno);
      }
      if (n == 0) return S_OK;
      if (!WriteAll(target, std::string_view(buffer, static_cast<std::size_t>(n)))) {
        return HresultFromErrno(errno);
      }
    }
  });
}

HRESULT MakeUniqueFile(const std::string& dir, std::string_view prefix, std::string_view suffix,
                       std::string* path) {
  std::string base = dir;
  if (!base.empty() && base.back() != '/') base += '/';
  UniqueFd dir_fd;
  std::string leaf;
  HRESULT hr = OpenParentDirectory(base.empty() ? "./" : base, &dir_fd, &leaf);
  if (Failed(hr)) return hr;
  std::string name;
  UniqueFd fd;
  hr = CreateUniqueFileAt(dir_fd.get(), prefix, suffix, 0600, &name, &fd);
  if (Failed(hr)) return hr;
  *path = base + name;
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
  UniqueFd fd;
  HRESULT hr = OpenFile(lock_path, O_RDWR | O_CREAT | O_NOFOLLOW, 0666, &fd);
  // A lock file another user made may not be writable by this one; a lock
  // needs only an open descriptor.
  if (hr == E_ACCESSDENIED) {
    if (Succeeded(OpenFile(lock_path, O_RDONLY | O_NOFOLLOW, 0, &fd))) hr = S_OK;
  }
  if (Failed(hr)) return hr;
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
