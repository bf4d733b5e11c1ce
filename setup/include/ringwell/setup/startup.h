// What prepax and ringwell-host do with the configuration checks: refuse to
// start on a broken configuration, and while running notice when the storage
// root or its Reports directory vanishes (or comes back).
//
// Thread-safety: ReadyToStart may be called from any thread; a StorageWatch
// belongs to the thread that polls it.
#pragma once

#include <string>

#include "ringwell/common/event_log.h"
#include "ringwell/setup/checks.h"

namespace ringwell::setup {

// Runs the checks. On a problem prints one line on standard error,
//   <program>: cannot start: <what and where>; to fix: <command>
// (saying how many more problems there are), logs it to `log` as an error and
// returns false.
bool ReadyToStart(const char* program, const Requirements& requirements, const CEventLog& log);

class StorageWatch {
 public:
  // `root` ends with "/".
  StorageWatch(std::string program, std::string root, const CEventLog& log);
  // Looks at the root and its Reports directory once. A change of state (gone,
  // or back again) is logged and printed on standard error once; an unchanged
  // state says nothing.
  void Poll();

 private:
  std::string program_;
  std::string root_;
  const CEventLog& log_;
  std::string problem_;  // the state last seen; empty while all is there
};

}  // namespace ringwell::setup
