// Watches the Requests directory of the storage root for scheduled request
// files (*.xml, not hidden: the temporary files of atomic saves start with a
// dot). Only regular files count: a symbolic link is never handed over. Uses
// inotify when it can; otherwise the caller polls and the watcher lists the
// directory each time.
//
// Thread-safety: one thread uses a watcher.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ringwell::host {

bool IsRequestFileName(std::string_view name);

class RequestWatcher {
 public:
  // Starts watching `directory` (ending with "/"), creating it if missing.
  // Throws std::runtime_error when the directory cannot be made.
  explicit RequestWatcher(std::string directory);
  ~RequestWatcher();
  RequestWatcher(const RequestWatcher&) = delete;
  RequestWatcher& operator=(const RequestWatcher&) = delete;

  // The request files there now, sorted, as paths.
  std::vector<std::string> Existing();
  // The descriptor to wait on for news, or -1 when the caller must poll.
  int fd() const { return inotify_fd_; }
  // The request files that appeared since the last call (after a lost event,
  // all that are there: handing one over twice is harmless).
  std::vector<std::string> Appeared();

 private:
  std::string directory_;
  int inotify_fd_ = -1;
  std::set<std::string> seen_;  // when polling: names listed last time
};

}  // namespace ringwell::host
