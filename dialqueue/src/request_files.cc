#include "request_files.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "request_paths.h"
#include "request_queue.h"

namespace ringwell::dialqueue {
namespace {

// True when the file is gone afterwards.
bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace

void DeleteRequestFiles(const CQueueEntry& entry, Clock& clock, const std::stop_token& stop) {
  if (!DeleteFile(entry.RequestFile)) {
    clock.SleepFor(std::chrono::milliseconds(500), stop);
    DeleteFile(entry.RequestFile);
  }
  const std::optional<std::string> directory = CleanupDirectoryOf(entry);
  if (!directory) return;
  if (std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory->c_str()), &::closedir); dir) {
    while (const dirent* found = ::readdir(dir.get())) {
      const std::string name = found->d_name;
      if (name == "." || name == "..") continue;
      // Only files go; anything else fails to delete and stays.
      ::unlink((*directory + name).c_str());
    }
  }
  ::rmdir(directory->c_str());
}

}  // namespace ringwell::dialqueue

namespace ringwell::dialqueue {

void RequeueEntry(CRequestQueue& queue, const CQueueEntry& entry) {
  QueueLock lock(queue);
  queue.Remove(entry.Id, entry.PhoneNumber);
  queue.Push(entry);
}

bool RemoveFinishedEntry(CRequestQueue& queue, const CQueueEntry& entry, Clock& clock,
                         const std::stop_token& stop) {
  QueueLock lock(queue);
  queue.Remove(entry.Id, entry.PhoneNumber);
  if (queue.ContainsId(entry.Id)) return false;
  DeleteRequestFiles(entry, clock, stop);
  return true;
}

}  // namespace ringwell::dialqueue
