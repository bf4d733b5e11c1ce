#include "ringwell/common/safe_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

namespace ringwell {
namespace {

struct Roots {
  std::mutex mutex;
  std::vector<std::string> paths;
};

Roots& RegisteredRoots() {
  static Roots roots;
  return roots;
}

// The registered root that `path` lies below (the shortest, so the rule is
// the strictest), or empty.
std::string RootOf(const std::string& path) {
  Roots& roots = RegisteredRoots();
  std::lock_guard lock(roots.mutex);
  std::string found;
  for (const std::string& root : roots.paths) {
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
        (found.empty() || root.size() < found.size())) {
      found = root;
    }
  }
  return found;
}

HRESULT LastError(const std::string& path) { return HresultForPathError(errno, path); }

// A directory on the way that cannot be opened: a missing one is the
// path-not-found code.
HRESULT DirectoryError(int err) {
  if (err == ENOENT) return HresultFromWin32(ERROR_PATH_NOT_FOUND);
  return HresultFromErrno(err);
}

// A component that is a link gives ELOOP or ENOTDIR when opened with
// O_NOFOLLOW (and O_DIRECTORY); tell a link apart from a plain failure.
HRESULT ComponentError(int dir, const char* name, int err, const std::string& path,
                       bool directory) {
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return SymbolicLinkRefused();
  }
  return directory ? DirectoryError(err) : HresultForPathError(err, path);
}

// Opens the directory `relative` (components separated by "/") below the
// open directory `dir`, one component at a time, refusing links and "..".
HRESULT WalkDown(UniqueFd dir, std::string_view relative, const std::string& path, UniqueFd* out) {
  while (!relative.empty()) {
    const std::size_t slash = relative.find('/');
    const std::string name(relative.substr(0, slash));
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
    if (name.empty() || name == ".") continue;
    if (name == "..") return SymbolicLinkRefused();
    UniqueFd next(::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) return ComponentError(dir.get(), name.c_str(), errno, path, true);
    dir = std::move(next);
  }
  *out = std::move(dir);
  return S_OK;
}

// "a/b/" -> "a/b", so that b is the last component (and "/" stays "/").
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The leaf's flags: O_NOFOLLOW wherever a link must not be followed.
bool Strict(const std::string& path) { return !RootOf(path).empty(); }

}  // namespace

HRESULT SymbolicLinkRefused() { return HresultFromErrno(ELOOP); }

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

mode_t ModeInDirectory(int dir, mode_t mode) {
  struct stat st {};
  if (::fstat(dir, &st) == 0 && (st.st_mode & S_ISGID) != 0) mode |= S_IRGRP | S_IWGRP;
  return mode;
}

HRESULT CreateUniqueFileAt(int dir, std::string_view prefix, std::string_view suffix, mode_t mode,
                           std::string* name, UniqueFd* fd) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate(prefix);
    for (int i = 0; i < 6; ++i) candidate += kLetters[arc4random_uniform(sizeof kLetters - 1)];
    candidate += suffix;
    UniqueFd created(
        ::openat(dir, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (created.get() >= 0) {
      struct stat st {};
      if (::fstat(created.get(), &st) == 0) {
        const mode_t made = st.st_mode & 07777;
        if (const mode_t wanted = ModeInDirectory(dir, made); wanted != made) {
          ::fchmod(created.get(), wanted);
        }
      }
      *name = std::move(candidate);
      *fd = std::move(created);
      return S_OK;
    }
    if (errno != EEXIST) return DirectoryError(errno);
  }
  return HresultFromErrno(EEXIST);
}

void RegisterStorageRoot(std::string root) {
  if (root.empty() || root.front() != '/') return;
  if (root.back() != '/') root += '/';
  if (root == "/") return;
  Roots& roots = RegisteredRoots();
  std::lock_guard lock(roots.mutex);
  for (const std::string& known : roots.paths) {
    if (known == root) return;
  }
  roots.paths.push_back(std::move(root));
}

bool IsBelowStorageRoot(const std::string& path) { return Strict(path); }

HRESULT OpenParentDirectory(const std::string& path, UniqueFd* dir, std::string* leaf) {
  // The same limit as the path-taking calls, though the walk would not need it.
  if (path.size() >= PATH_MAX) return HresultFromErrno(ENAMETOOLONG);
  const std::size_t slash = path.rfind('/');
  *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string root = RootOf(path);
  if (root.empty()) {
    UniqueFd fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return DirectoryError(errno);
    *dir = std::move(fd);
    return S_OK;
  }
  if (*leaf == "..") return SymbolicLinkRefused();
  UniqueFd root_fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root_fd.get() < 0) return DirectoryError(errno);
  if (parent.size() <= root.size()) {
    *dir = std::move(root_fd);
    return S_OK;
  }
  return WalkDown(std::move(root_fd), std::string_view(parent).substr(root.size()), path, dir);
}

HRESULT OpenFile(const std::string& path, int flags, mode_t mode, UniqueFd* fd) {
  UniqueFd dir;
  std::string leaf;
  HRESULT hr = OpenParentDirectory(path, &dir, &leaf);
  if (Failed(hr)) return hr;
  const char* name = leaf.empty() ? "." : leaf.c_str();
  if (Strict(path)) flags |= O_NOFOLLOW;
  UniqueFd opened(::openat(dir.get(), name, flags | O_CLOEXEC, mode));
  if (opened.get() < 0) {
    const int err = errno;
    if ((flags & O_NOFOLLOW) != 0 && (err == ELOOP || err == ENOTDIR || err == EMLINK)) {
      return ComponentError(dir.get(), name, err, path, leaf.empty());
    }
    return leaf.empty() ? DirectoryError(err) : HresultForPathError(err, path);
  }
  *fd = std::move(opened);
  return S_OK;
}

HRESULT LinkStatus(const std::string& path, struct stat* st) {
  UniqueFd dir;
  std::string leaf;
  HRESULT hr = OpenParentDirectory(path, &dir, &leaf);
  if (Failed(hr)) return hr;
  const int flags = leaf.empty() ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
  if (::fstatat(dir.get(), leaf.c_str(), st, flags) != 0) {
    return leaf.empty() ? DirectoryError(errno) : LastError(path);
  }
  return S_OK;
}

namespace {

// stat(2), or below a storage root lstat(2) with no link on the way.
bool StatusOf(const std::string& path, struct stat* st) {
  if (IsBelowStorageRoot(path)) return Succeeded(LinkStatus(path, st));
  return ::stat(path.c_str(), st) == 0;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return Succeeded(LinkStatus(path, &st));
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return StatusOf(path, &st) && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return StatusOf(path, &st) && S_ISDIR(st.st_mode);
}

HRESULT RemoveFile(const std::string& path) {
  UniqueFd dir;
  std::string leaf;
  HRESULT hr = OpenParentDirectory(path, &dir, &leaf);
  if (Failed(hr)) return hr;
  if (::unlinkat(dir.get(), leaf.c_str(), 0) != 0) return LastError(path);
  return S_OK;
}

HRESULT RemoveDirectory(const std::string& path) {
  UniqueFd dir;
  std::string leaf;
  HRESULT hr = OpenParentDirectory(path, &dir, &leaf);
  if (Failed(hr)) return hr;
  if (::unlinkat(dir.get(), leaf.c_str(), AT_REMOVEDIR) != 0) return LastError(path);
  return S_OK;
}

HRESULT MakeDirectory(const std::string& path, mode_t mode) {
  UniqueFd dir;
  std::string leaf;
  HRESULT hr = OpenParentDirectory(path, &dir, &leaf);
  if (Failed(hr)) return hr;
  if (::mkdirat(dir.get(), leaf.c_str(), mode) != 0) {
    if (errno == EEXIST) return HresultFromWin32(ERROR_FILE_EXISTS);
    return LastError(path);
  }
  return S_OK;
}

HRESULT RenameEntry(const std::string& from, const std::string& to, bool replace) {
  UniqueFd from_dir;
  UniqueFd to_dir;
  std::string from_leaf;
  std::string to_leaf;
  HRESULT hr = OpenParentDirectory(from, &from_dir, &from_leaf);
  if (Succeeded(hr)) hr = OpenParentDirectory(to, &to_dir, &to_leaf);
  if (Failed(hr)) return hr;
  if (::renameat2(from_dir.get(), from_leaf.c_str(), to_dir.get(), to_leaf.c_str(),
                  replace ? 0 : RENAME_NOREPLACE) == 0) {
    return S_OK;
  }
  if (errno == EINVAL && !replace) {
    // A file system without RENAME_NOREPLACE (FUSE: GlusterFS): a file is
    // linked under its new name, which fails when the name is taken, and its
    // old name removed; a directory is renamed once the name is seen free.
    struct stat st {};
    if (::fstatat(from_dir.get(), from_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return LastError(from);
    }
    if (!S_ISDIR(st.st_mode)) {
      if (::linkat(from_dir.get(), from_leaf.c_str(), to_dir.get(), to_leaf.c_str(), 0) != 0) {
        if (errno == EEXIST) return HresultFromWin32(ERROR_FILE_EXISTS);
        return LastError(to);
      }
      ::unlinkat(from_dir.get(), from_leaf.c_str(), 0);
      return S_OK;
    }
    if (::fstatat(to_dir.get(), to_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      return HresultFromWin32(ERROR_FILE_EXISTS);
    }
    if (::renameat(from_dir.get(), from_leaf.c_str(), to_dir.get(), to_leaf.c_str()) == 0) {
      return S_OK;
    }
  }
  if (errno == EEXIST) return HresultFromWin32(ERROR_FILE_EXISTS);
  return LastError(to);
}

HRESULT SyncDirectory(const std::string& path) {
  UniqueFd fd;
  HRESULT hr = OpenFile(WithoutTrailingSlash(path), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, &fd);
  if (Failed(hr)) return hr;
  if (::fsync(fd.get()) != 0) return HresultFromErrno(errno);
  return S_OK;
}

HRESULT SyncFileSystem(const std::string& path) {
  UniqueFd fd;
  HRESULT hr = OpenFile(WithoutTrailingSlash(path), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, &fd);
  if (Failed(hr)) return hr;
  if (::syncfs(fd.get()) != 0) return HresultFromErrno(errno);
  return S_OK;
}

namespace {

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

// The directory `path` for listing; a link is refused wherever it lies.
HRESULT OpenListing(const std::string& path, DirHandle* out) {
  UniqueFd fd;
  HRESULT hr = OpenFile(WithoutTrailingSlash(path), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, &fd);
  if (Failed(hr)) return hr;
  DIR* dir = ::fdopendir(fd.get());
  if (dir == nullptr) return HresultFromErrno(errno);
  fd.release();
  *out = DirHandle(dir, &::closedir);
  return S_OK;
}

DirectoryEntry::Type TypeOf(int dir, const dirent& entry) {
  unsigned char type = entry.d_type;
  if (type == DT_UNKNOWN) {
    struct stat st {};
    if (::fstatat(dir, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return DirectoryEntry::Type::kOther;
    if (S_ISREG(st.st_mode)) type = DT_REG;
    if (S_ISDIR(st.st_mode)) type = DT_DIR;
    if (S_ISLNK(st.st_mode)) type = DT_LNK;
  }
  switch (type) {
    case DT_REG:
      return DirectoryEntry::Type::kFile;
    case DT_DIR:
      return DirectoryEntry::Type::kDirectory;
    case DT_LNK:
      return DirectoryEntry::Type::kLink;
    default:
      return DirectoryEntry::Type::kOther;
  }
}

}  // namespace

HRESULT ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) {
  DirHandle dir(nullptr, &::closedir);
  HRESULT hr = OpenListing(path, &dir);
  if (Failed(hr)) return hr;
  entries->clear();
  for (;;) {
    // readdir leaves errno as it was at the end of the directory, and TypeOf's
    // stat sets it for an entry that vanished meanwhile: only a reset before
    // each call tells a failing read from the end.
    errno = 0;
    const dirent* found = ::readdir(dir.get());
    if (found == nullptr) break;
    const std::string_view name = found->d_name;
    if (name == "." || name == "..") continue;
    entries->push_back({std::string(name), TypeOf(::dirfd(dir.get()), *found)});
  }
  if (errno != 0) return HresultFromErrno(errno);
  return S_OK;
}

HRESULT RemoveDirectoryFiles(const std::string& path) {
  DirHandle dir(nullptr, &::closedir);
  HRESULT hr = OpenListing(path, &dir);
  if (Failed(hr)) return hr;
  const int fd = ::dirfd(dir.get());
  while (const dirent* found = ::readdir(dir.get())) {
    const std::string_view name = found->d_name;
    if (name == "." || name == "..") continue;
    // unlinkat never follows a link; a subdirectory fails and stays.
    ::unlinkat(fd, found->d_name, 0);
  }
  dir.reset();
  return Succeeded(RemoveDirectory(WithoutTrailingSlash(path))) ? S_OK : S_FALSE;
}

}  // namespace ringwell
