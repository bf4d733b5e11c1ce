// CLineRegistry: which line numbers are in use right now. A modem worker and a
// pager worker given the same line number take turns through it. Line numbers
// of 0 and below are never recorded and never block.
//
// Thread-safety: every operation takes the registry's own lock; the registry
// never takes a queue lock.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::dialqueue {

class CLineRegistry {
 public:
  // Marks `line` in use; false when it already is. Always true for line <= 0.
  bool TryAcquire(std::int32_t line);
  // Marks `line` free again (nothing for line <= 0).
  void ReleaseLine(std::int32_t line);

 private:
  Mutex mutex_;
  std::map<std::int32_t, bool> in_use_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::dialqueue
