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
                       DirectoryLock* lock, std::unique_ptr<ParsedReport>* report) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(retry_delay);
    if (!TakeLock(path, lock)) continue;
    if ((*report = ProcessReportCache().Take(path))) return true;
    *report = std::make_unique<ParsedReport>();
    if (Loaded((*report)->document.Load(path))) return true;
  }
  report->reset();
  return false;
}

void SaveReportWithRetry(std::unique_ptr<ParsedReport> report, const std::string& path,
                         std::chrono::milliseconds retry_delay) {
  if (Failed(SaveReport(report->document, path))) {
    std::this_thread::sleep_for(retry_delay);
    ThrowIfFailed(SaveReport(report->document, path));
  }
  ProcessReportCache().Put(path, std::move(report));
}

}  // namespace ringwell::tallier
