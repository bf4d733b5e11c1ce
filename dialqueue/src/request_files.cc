#include "request_files.h"

#include <chrono>
#include <string>

#include "request_paths.h"
#include "request_queue.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::dialqueue {
namespace {

// True when the file is gone afterwards.
bool DeleteFile(const std::string& path) {
  const HRESULT hr = RemoveFile(path);
  return Succeeded(hr) || hr == HresultFromWin32(ERROR_FILE_NOT_FOUND);
}

}  // namespace

void DeleteRequestFiles(const CQueueEntry& entry, Clock& clock, const std::stop_token& stop) {
  if (!DeleteFile(entry.RequestFile)) {
    clock.SleepFor(std::chrono::milliseconds(500), stop);
    DeleteFile(entry.RequestFile);
  }
  const std::optional<std::string> directory = CleanupDirectoryOf(entry);
  if (!directory) return;
  // Only files go (a link as a link, never what it points to); anything else
  // stays. A directory that is itself a link is left alone.
  RemoveDirectoryFiles(*directory);
}

}  // namespace ringwell::dialqueue

namespace ringwell::dialqueue {

void RequeueEntry(CRequestQueue& queue, const CQueueEntry& entry) {
  QueueLock lock(queue);
  queue.Remove(entry.Id, entry.PhoneNumber);
  queue.Push(entry);
}

void DeferEntry(CRequestQueue& queue, CQueueEntry entry, OleDate now) {
  constexpr double kDeferDays = 3.0 / 86'400;
  entry.NextTime = now + kDeferDays;
  RequeueEntry(queue, entry);
}

std::optional<CQueueEntry> TakeNextOfRequest(CRequestQueue& queue, const CQueueEntry& ended,
                                             OleDate now) {
  QueueLock lock(queue);
  CQueueEntry first;
  if (!queue.PeekFirstFree(&first) || first.Id != ended.Id || !IsDue(first, now)) {
    return std::nullopt;
  }
  queue.MarkFirstFreeTaken();
  return first;
}

bool RemoveFinishedEntry(CRequestQueue& queue, const CQueueEntry& entry, Clock& clock,
                         const std::stop_token& stop, const std::function<bool()>& before_delete) {
  QueueLock lock(queue);
  queue.Remove(entry.Id, entry.PhoneNumber);
  if (queue.ContainsId(entry.Id)) return false;
  if (before_delete && !before_delete()) return true;
  DeleteRequestFiles(entry, clock, stop);
  return true;
}

}  // namespace ringwell::dialqueue
