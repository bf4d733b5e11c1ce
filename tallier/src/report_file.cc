#include "report_file.h"

#include <thread>

#include "report_cache.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::tallier {
namespace {

constexpr int kAttempts = 2;

bool Loaded(HRESULT hr) { return ThrowIfFailed(hr) == S_OK; }

// Takes the report's lock unless it is held already. False when the report
// cannot exist (no file name, or no such directory), so there is nothing to
// guard.
bool TakeLock(const std::string& path, DirectoryLock* lock) {
  if (lock->held()) return true;
  if (BaseNameOf(path).empty()) return false;
  const HRESULT hr = DirectoryLock::Acquire(path, lock);
  if (Succeeded(hr)) return true;
  const std::string dir = DirectoryOf(path);
  if (!IsDirectory(dir.empty() ? std::string(".") : dir)) return false;
  throw ComError(hr);
}

}  // namespace

bool LoadWithRetry(const std::string& path, std::chrono::milliseconds retry_delay,
                   xml::Document* document) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(retry_delay);
    if (Loaded(document->Load(path))) return true;
  }
  return false;
}

bool LockAndLoadReport(const std::string& path, std::chrono::milliseconds retry_delay,
                       DirectoryLock* lock, xml::Document* document) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(retry_delay);
    if (!TakeLock(path, lock)) continue;
    if (std::optional<xml::Document> cached = ProcessReportCache().Take(path)) {
      *document = std::move(*cached);
      return true;
    }
    if (Loaded(document->Load(path))) return true;
  }
  return false;
}

void SaveReportWithRetry(xml::Document document, const std::string& path,
                         std::chrono::milliseconds retry_delay) {
  if (Failed(SaveReport(document, path))) {
    std::this_thread::sleep_for(retry_delay);
    ThrowIfFailed(SaveReport(document, path));
  }
  ProcessReportCache().Put(path, std::move(document));
}

}  // namespace ringwell::tallier
