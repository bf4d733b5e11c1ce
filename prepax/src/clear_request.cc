// Clearing a failed request: everything the daemon made or holds for it.
#include <unistd.h>

#include <filesystem>

#include "file_processor.h"
#include "prepax_log.h"
#include "ringwell/common/files.h"

namespace ringwell::prepax {

void CFileProcessor::ClearRequest(const std::string& id) {
  if (id.empty()) return;
  const ErrorReporter reporter(PrepaxLog(), "");
  try {
    bool failed = false;
    auto remove = [&](const std::string& path) {
      if (::unlink(path.c_str()) == 0) return true;
      reporter.LogOnly(prepax_msg::kDeleteFileFailed, path, E_FAIL);
      failed = true;
      return false;
    };

    const std::string dir = layout_.RequestDir(id);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      if (entry.path().extension() == ".wav") remove(entry.path().string());
    }
    ::unlink((dir + "/" + kPreprocessingMarker).c_str());
    ::rmdir(dir.c_str());  // a directory that still holds other files stays

    const std::string scheduled = layout_.RequestFile(id);
    if (FileExists(scheduled)) remove(scheduled);
    const std::string inbox = layout_.InboxFile(id);
    if (FileExists(inbox) && remove(inbox)) in_progress_.erase(id + "." + kXmlExtension);

    if (failed) {
      reporter.LogOnly(prepax_msg::kErrorIn,
                       "Failed to clear all request files for request with id:" + id, E_FAIL);
    }
  } catch (const std::exception&) {
    reporter.log().ReportTwoStrings(EventType::kError, prepax_msg::kErrorIn,
                                    "CFileProcessor::ClearRequest", ErrorText(E_FAIL));
  }
}

}  // namespace ringwell::prepax
