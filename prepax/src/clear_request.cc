// Clearing a failed request: everything the daemon made or holds for it.
#include "file_processor.h"
#include "prepax_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"

namespace ringwell::prepax {

void CFileProcessor::ClearRequest(const std::string& id) {
  if (id.empty()) return;
  const ErrorReporter reporter = PrepaxReporter();
  reporter.Guard("CFileProcessor::ClearRequest", [&]() -> HRESULT {
    bool failed = false;
    auto remove = [&](const std::string& path) {
      if (Succeeded(RemoveFile(path))) return true;
      reporter.LogOnly(prepax_msg::kDeleteFileFailed, path, E_FAIL);
      failed = true;
      return false;
    };

    const std::string dir = layout_.RequestDir(id);
    std::vector<DirectoryEntry> entries;
    // A directory that is a link is never listed: nothing beyond it is deleted.
    ListDirectory(dir, &entries);
    for (const DirectoryEntry& entry : entries) {
      const std::string_view name = entry.name;
      if (name.size() > 4 && EqualsIgnoringCase(name.substr(name.size() - 4), ".wav")) {
        remove(dir + "/" + entry.name);
      }
    }
    RemoveFile(dir + "/" + kScheduledRequest);
    RemoveFile(dir + "/" + kPreprocessingMarker);
    RemoveDirectory(dir);  // a directory that still holds other files stays

    const std::string scheduled = layout_.RequestFile(id);
    if (FileExists(scheduled)) remove(scheduled);
    const std::string inbox = layout_.InboxFile(id);
    if (FileExists(inbox) && remove(inbox)) in_progress_.erase(id + "." + kXmlExtension);

    if (failed) {
      reporter.LogOnly(prepax_msg::kErrorIn,
                       "Failed to clear all request files for request with id:" + id, E_FAIL);
    }
    return S_OK;
  });
}

}  // namespace ringwell::prepax
