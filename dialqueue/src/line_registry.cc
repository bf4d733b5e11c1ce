#include "line_registry.h"

namespace ringwell::dialqueue {

bool CLineRegistry::TryAcquire(std::int32_t line) {
  if (line <= 0) return true;
  MutexLock lock(mutex_);
  bool& in_use = in_use_[line];  // a new line is entered as free
  if (in_use) return false;
  in_use = true;
  return true;
}

void CLineRegistry::ReleaseLine(std::int32_t line) {
  if (line <= 0) return;
  MutexLock lock(mutex_);
  in_use_[line] = false;
}

}  // namespace ringwell::dialqueue
