// Requests that wait for space on the storage root's file system: what a
// try made is taken back, and the request is tried again after a pause.
#include <algorithm>

#include "file_processor.h"
#include "prepax_log.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::prepax {
namespace {

constexpr std::chrono::milliseconds kFirstSpaceWait{1000};

}  // namespace

bool CFileProcessor::FailedForSpace(HRESULT hr) const {
  return IsNoSpace(hr) || SpaceIsShort(layout_.root);
}

bool CFileProcessor::WaitingForSpace(const std::string& name) const {
  const auto found = space_waits_.find(name);
  return found != space_waits_.end() && std::chrono::steady_clock::now() < found->second.next_try;
}

bool CFileProcessor::WaitForSpace(const std::string& name, const Request& request, HRESULT hr) {
  if (!IsRegularFile(layout_.InboxDir() + name)) {
    // Past the removal of its inbox file: the staged request finishes the
    // way a restart would finish it.
    if (!request.id.empty()) {
      try {
        RecoverRequestDirectory(request.id);
      } catch (const std::exception&) {
      }
    }
    return !request.id.empty() && FileExists(layout_.RequestFile(request.id));
  }
  // Whatever this try wrote goes, to give the space back: the next try
  // starts again from the inbox file.
  if (!request.request_dir.empty()) RemoveDirectoryFiles(request.request_dir);
  in_progress_.erase(name);

  const auto found = space_waits_.find(name);
  const bool first = found == space_waits_.end();
  const std::chrono::milliseconds pause =
      first ? kFirstSpaceWait : std::min(found->second.pause * 2, kMaxSpaceWait);
  space_waits_[name] = {std::chrono::steady_clock::now() + pause, pause};
  if (first) {
    const std::optional<std::uint64_t> free = FreeSpace(layout_.root);
    LogTwo(prepax_msg::kErrorIn, "CFileProcessor::ProcessFiles",
           "Request " + (request.id.empty() ? name : request.id) + " waits for space on " +
               layout_.root + " (" + ErrorText(hr) + "; " + (free ? SpaceText(*free) : "?") +
               " free); it stays in Inbox and is tried again once space comes back.");
  }
  return true;
}

}  // namespace ringwell::prepax
