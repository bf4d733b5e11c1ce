// The pager log: one tab-separated line per page (time, number, service,
// request ID, status, text), appended with one write so that lines of
// concurrent pagers never interleave. Tabs and line breaks in a field become
// spaces. A log that cannot be written is reported on standard error; the
// page itself is not failed for it.
//
// Thread-safety: Append may be called from any thread.
#pragma once

#include <mutex>
#include <string>

#include "ringwell/common/ole_date.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell::host {

class PageLog {
 public:
  // `path` empty: nothing is logged.
  explicit PageLog(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  void Append(OleDate time, const std::string& number, const std::string& service,
              const std::string& request_id, const std::string& status, const std::string& text);

 private:
  const std::string path_;
  Mutex mutex_;  // one append at a time
};

}  // namespace ringwell::host
