#include "registry_cache.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "ringwell/common/files.h"

namespace ringwell::registry::detail {
namespace {

// How long after a file's last change its times are trusted to tell a later
// change apart (file times tick coarsely, and a file system may keep them in
// whole seconds).
constexpr std::int64_t kTimeMargin = 2'000'000'000;  // ns

std::int64_t Nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

// What stat says of a file; all zero when it does not exist.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  std::int64_t modified = 0;
  std::int64_t changed = 0;

  bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// One file of the store as last read.
struct File {
  std::string path;
  Identity identity;  // taken before it was read
  std::string text;   // empty when it did not exist
};

struct Snapshot {
  StoreFiles where;
  Identity directory;              // the drop-in directory, taken before listing it
  std::vector<std::string> names;  // the drop-ins' names as listed
  std::vector<File> files;         // the store file, then the drop-ins in name order
  std::int64_t verified = 0;       // when the contents were last read
  std::shared_ptr<const std::vector<Layer>> layers;
};

// Reads the file's text into `file` (identity first); a missing file is empty.
HRESULT ReadFile(File* file, std::string* problem) {
  file->identity = IdentityOf(file->path);
  file->text.clear();
  HRESULT hr = ReadWholeFile(file->path, &file->text);
  if (hr == HresultFromWin32(ERROR_FILE_NOT_FOUND) ||
      hr == HresultFromWin32(ERROR_PATH_NOT_FOUND)) {
    file->text.clear();
    return S_OK;
  }
  if (Failed(hr)) *problem = file->path + ": cannot be read: " + ErrorText(hr);
  return hr;
}

// Reads and parses every file of the store at `where`.
HRESULT Load(const StoreFiles& where, Snapshot* out, std::string* problem) {
  Snapshot snapshot;
  snapshot.where = where;
  snapshot.verified = Now();
  snapshot.directory = IdentityOf(where.drop_ins);
  snapshot.names = DropInNames(where.drop_ins);
  snapshot.files.push_back({.path = where.store, .identity = {}, .text = {}});
  for (const std::string& name : snapshot.names) {
    snapshot.files.push_back({.path = where.drop_ins + name, .identity = {}, .text = {}});
  }
  auto layers = std::make_shared<std::vector<Layer>>();
  // The store file first, then the drop-ins from the last name to the first.
  for (std::size_t n = 0; n < snapshot.files.size(); ++n) {
    File& file = snapshot.files[n == 0 ? 0 : snapshot.files.size() - n];
    if (HRESULT hr = ReadFile(&file, problem); Failed(hr)) return hr;
    Layer layer{.path = file.path, .table = {}, .hand_written = n == 0};
    if (HRESULT hr = ParseFile(file.path, file.text, &layer.table, problem); Failed(hr)) return hr;
    layers->push_back(std::move(layer));
  }
  snapshot.layers = std::move(layers);
  *out = std::move(snapshot);
  return S_OK;
}

// Whether the files are as `snapshot` read them.
bool Unchanged(Snapshot* snapshot) {
  std::int64_t newest = std::max(snapshot->directory.modified, snapshot->directory.changed);
  if (IdentityOf(snapshot->where.drop_ins) != snapshot->directory) return false;
  for (const File& file : snapshot->files) {
    if (IdentityOf(file.path) != file.identity) return false;
    newest = std::max({newest, file.identity.modified, file.identity.changed});
  }
  if (newest < snapshot->verified - kTimeMargin) return true;
  // Changed lately: a change within the same tick leaves the times as they
  // were, so the contents tell.
  const std::int64_t now = Now();
  if (DropInNames(snapshot->where.drop_ins) != snapshot->names) return false;
  for (const File& file : snapshot->files) {
    std::string text;
    const HRESULT hr = ReadWholeFile(file.path, &text);
    if (Failed(hr) && hr != HresultFromWin32(ERROR_FILE_NOT_FOUND) &&
        hr != HresultFromWin32(ERROR_PATH_NOT_FOUND)) {
      return false;
    }
    if (text != file.text) return false;
  }
  snapshot->verified = now;
  return true;
}

}  // namespace

HRESULT CachedLayers(const StoreFiles& files, std::shared_ptr<const std::vector<Layer>>* layers,
                     std::string* problem) {
  static std::mutex mutex;
  static Snapshot* cached = new Snapshot();  // lives until the process ends
  std::lock_guard lock(mutex);
  if (cached->layers == nullptr || cached->where.store != files.store ||
      cached->where.drop_ins != files.drop_ins || !Unchanged(cached)) {
    cached->layers = nullptr;
    if (HRESULT hr = Load(files, cached, problem); Failed(hr)) return hr;
  }
  *layers = cached->layers;
  return S_OK;
}

}  // namespace ringwell::registry::detail
