#include "leftover_requests.h"

#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"

namespace ringwell::host {
namespace {

// The preprocessing daemon's own files in a request directory while it
// prepares the request or moves it into Requests.
constexpr const char* kDaemonAtWork[] = {".preprocessing", ".scheduled"};

}  // namespace

std::vector<std::string> RemoveLeftoverRequestDirectories(
    const std::string& root, const std::function<bool(const std::string&)>& playing) {
  const StorageLayout layout{root};
  std::vector<DirectoryEntry> entries;
  std::vector<std::string> removed;
  if (Failed(ListDirectory(layout.RequestsDir(), &entries))) return removed;
  for (const DirectoryEntry& entry : entries) {
    const std::string& id = entry.name;
    // Hidden names are the daemon's directories under construction.
    if (entry.type != DirectoryEntry::Type::kDirectory || !IsPlainName(id) || id.front() == '.') {
      continue;
    }
    const std::string dir = layout.RequestDir(id);
    // In the order the daemon moves a request, backwards: the staged request
    // (or the marker before it) is inside the directory from before the
    // Inbox file goes until the request file is in Requests; so a request on
    // its way is seen at one of the three places, whenever this looks.
    bool kept = FileExists(layout.InboxFile(id)) || FileExists(layout.WithdrawnInboxFile(id));
    for (const char* name : kDaemonAtWork) kept = kept || FileExists(dir + "/" + name);
    if (kept || FileExists(layout.RequestFile(id)) || playing(dir)) continue;
    if (RemoveDirectoryFiles(dir) == S_OK) removed.push_back(id);
  }
  return removed;
}

}  // namespace ringwell::host
