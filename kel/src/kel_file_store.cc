// The file store of the service: SubmitFile, DeleteFile, GetFileInfo and
// Files, on the directory Files/{0}/ below the location.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>
#include <vector>

#include "collections.h"
#include "kel_file_info.h"
#include "kel_log.h"
#include "kel_service.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell::kel {
namespace {

constexpr std::string_view kProgId = kKelServiceProgId;
constexpr std::string_view kWavExtension = ".wav";
// What a name given to DeleteFile or GetFileInfo may not contain: it must
// name one file of the store's directory.
constexpr char kPathSeparator[] = "/";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Below the storage root a directory reached through a link does not count.
bool CanSearch(const std::string& directory) {
  UniqueFd fd;
  return Succeeded(OpenFile(directory, O_RDONLY | O_DIRECTORY, 0, &fd));
}

// The extension of the file-name part of `path`, from its last "." on (empty
// when it has none).
std::string_view ExtensionOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

bool IsWavName(std::string_view name) {
  return EqualsIgnoringCase(ExtensionOf(name), kWavExtension);
}

bool CopyContent(int from, int to) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t written = ::write(to, buffer + done, static_cast<std::size_t>(n - done));
      if (written < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += written;
    }
  }
}

// Copies the regular file `source` to `target` with its permissions (plus
// write permission for the owner, and for the group what ModeInDirectory
// adds) and modification time. The copy is written
// under a temporary name beside `target` and then put in place: replacing an
// existing file when `overwrite`, otherwise only when `target` does not exist
// yet (checked and done in one step). False when anything failed; nothing is
// left behind then.
bool CopyIntoStore(const std::string& source, const std::string& target, bool overwrite) {
  UniqueFd from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (from.get() < 0 || ::fstat(from.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

  // The store's directory, never reached through a link; every name below
  // is used relative to it.
  UniqueFd dir;
  std::string name;
  if (Failed(OpenParentDirectory(target, &dir, &name))) return false;
  std::string temp;
  UniqueFd to;
  if (Failed(CreateUniqueFileAt(dir.get(), "." + name + ".", "", 0600, &temp, &to))) return false;
  const timespec times[2] = {st.st_atim, st.st_mtim};
  bool ok = CopyContent(from.get(), to.get()) &&
            ::fchmod(to.get(), ModeInDirectory(dir.get(), (st.st_mode & 0777) | S_IWUSR)) == 0 &&
            ::futimens(to.get(), times) == 0 && ::fsync(to.get()) == 0 && Succeeded(to.Close());
  if (ok) {
    ok = overwrite ? ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) == 0
                   : ::linkat(dir.get(), temp.c_str(), dir.get(), name.c_str(), 0) == 0;
  }
  // After a rename the temporary name is gone already.
  if (!ok || !overwrite) ::unlinkat(dir.get(), temp.c_str(), 0);
  return ok;
}

// The creation time of the open file `fd` (its birth time where the file
// system records one, else its modification time) as a local date in whole
// seconds, and its size; false when the information cannot be read.
bool ReadFileInfo(int fd, OleDate* date, std::uint64_t* size) {
  struct statx stx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_MTIME | STATX_SIZE, &stx) != 0) {
    return false;
  }
  const statx_timestamp& stamp = (stx.stx_mask & STATX_BTIME) != 0 ? stx.stx_btime : stx.stx_mtime;
  const timespec whole_seconds{.tv_sec = static_cast<time_t>(stamp.tv_sec), .tv_nsec = 0};
  *date = OleDateFromTimespec(whole_seconds).value_or(kInvalidDate);
  *size = stx.stx_size;
  return true;
}

// The names of the entries of `directory` that end with ".wav" (in any case)
// and are regular files, sorted; empty when it cannot be read.
std::vector<std::string> StoredWavNames(const std::string& directory) {
  std::vector<std::string> names;
  std::vector<DirectoryEntry> entries;
  if (Failed(ListDirectory(directory, &entries))) return names;
  for (DirectoryEntry& entry : entries) {
    // A link is not a stored file.
    if (entry.type == DirectoryEntry::Type::kFile && IsWavName(entry.name)) {
      names.push_back(std::move(entry.name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

HRESULT ForbiddenName() {
  return RuleViolation(kProgId, kel_msg::kForbiddenFileNameCharacters, kPathSeparator);
}

}  // namespace

std::string CKelService::UserDirectory() const { return layout_.UserFilesDir(kToolkitUserId); }

HRESULT CKelService::SubmitFile(const char* a_bstrFilePath, std::int32_t a_bOverwrite) {
  if (a_bstrFilePath == nullptr) return E_INVALIDARG;
  return KelReporter(kProgId).Guard("CKelService::SubmitFile", [&]() -> HRESULT {
    const std::string source = a_bstrFilePath;
    if (!Exists(source)) return RuleViolation(kProgId, kel_msg::kSourceFileNotFound, source);
    if (location_.empty()) return RuleViolation(kProgId, kel_msg::kLocationRequired);
    const std::string name = BaseNameOf(source);
    if (!IsWavName(name)) return RuleViolation(kProgId, kel_msg::kOnlyWavFiles);
    const std::string directory = UserDirectory();
    if (!CanSearch(directory)) return RuleViolation(kProgId, kel_msg::kPathNotFound, directory);

    if (CopyIntoStore(source, directory + name, a_bOverwrite != 0)) return S_OK;
    if (a_bOverwrite != 0) return RuleViolation(kProgId, kel_msg::kCopyFileFailed, source);
    return S_FALSE;
  });
}

HRESULT CKelService::DeleteFile(const char* a_bstrName) {
  if (a_bstrName == nullptr) return E_INVALIDARG;
  if (!IsPlainName(a_bstrName)) return ForbiddenName();
  if (location_.empty()) return RuleViolation(kProgId, kel_msg::kLocationRequired);
  return KelReporter(kProgId).Guard("CKelService::DeleteFile", [&]() -> HRESULT {
    const std::string path = UserDirectory() + a_bstrName;
    if (Failed(RemoveFile(path))) {
      return RuleViolation(kProgId, kel_msg::kDeleteFileFailed, path);
    }
    return S_OK;
  });
}

HRESULT CKelService::GetFileInfo(const char* a_bstrName, IKelFileInfo** a_ppFileInfo) {
  if (a_bstrName == nullptr || a_ppFileInfo == nullptr) return E_INVALIDARG;
  *a_ppFileInfo = nullptr;
  if (!IsPlainName(a_bstrName)) return ForbiddenName();
  if (location_.empty()) return RuleViolation(kProgId, kel_msg::kLocationRequired);
  return KelReporter(kProgId).Guard("CKelService::GetFileInfo", [&]() -> HRESULT {
    ComPtr<IKelFileInfo> info;
    const HRESULT hr = DescribeStoredFile(a_bstrName, &info);
    if (hr != S_OK) return hr;
    return info.CopyTo(a_ppFileInfo);
  });
}

HRESULT CKelService::DescribeStoredFile(const std::string& name, ComPtr<IKelFileInfo>* info) {
  const std::string path = UserDirectory() + name;
  if (!FileExists(path)) return S_FALSE;
  // Stored files are only ever replaced whole (by rename), so reading needs
  // no exclusion; a directory is no file to describe, and a link is refused.
  UniqueFd file;
  struct stat st {};
  if (Failed(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &file)) || ::fstat(file.get(), &st) != 0 ||
      S_ISDIR(st.st_mode)) {
    return RuleViolation(kProgId, kel_msg::kFileAccessFailed, path);
  }
  OleDate date = kInvalidDate;
  std::uint64_t size = 0;
  const bool read = ReadFileInfo(file.get(), &date, &size);
  file.Close();
  if (!read) return RuleViolation(kProgId, kel_msg::kFileInfoFailed, path);
  const auto low_bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(size));
  *info = MakeComObject<CKelFileInfo>(date, low_bits, name);
  return S_OK;
}

HRESULT CKelService::get_Files(IKelFiles** a_ppFiles) {
  if (a_ppFiles == nullptr) return E_INVALIDARG;
  *a_ppFiles = nullptr;
  if (location_.empty()) return RuleViolation(kProgId, kel_msg::kLocationRequired);
  return KelReporter(kProgId).Guard("CKelService::get_Files", [&]() -> HRESULT {
    auto files = MakeComObject<CKelFiles>();
    for (const std::string& name : StoredWavNames(UserDirectory())) {
      ComPtr<IKelFileInfo> info;
      const HRESULT hr = DescribeStoredFile(name, &info);
      if (Failed(hr)) return hr;
      if (hr == S_OK) files->Add(std::move(info));  // gone meanwhile: skipped
    }
    return ComPtr<IKelFiles>(files).CopyTo(a_ppFiles);
  });
}

}  // namespace ringwell::kel
