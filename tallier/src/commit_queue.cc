#include "commit_queue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::tallier {
namespace {

// The updates waiting for one report, and whether a save of it is running.
struct ReportQueue {
  Mutex mutex;
  std::condition_variable changed;
  std::deque<CommitQueue::Job*> pending RINGWELL_GUARDED_BY(mutex);
  bool saving RINGWELL_GUARDED_BY(mutex) = false;
  int users = 0;  // threads in Commit for this report (guarded by the table's mutex)
};

// The queues of the reports that threads are updating now; a queue lives
// while some thread uses it.
class QueueTable {
 public:
  std::shared_ptr<ReportQueue> Enter(const std::string& path) {
    MutexLock lock(mutex_);
    std::shared_ptr<ReportQueue>& queue = queues_[path];
    if (!queue) queue = std::make_shared<ReportQueue>();
    ++queue->users;
    return queue;
  }

  void Leave(const std::string& path) {
    MutexLock lock(mutex_);
    auto it = queues_.find(path);
    if (it != queues_.end() && --it->second->users == 0) queues_.erase(it);
  }

 private:
  Mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<ReportQueue>> queues_ RINGWELL_GUARDED_BY(mutex_);
};

QueueTable& Queues() {
  static auto* table = new QueueTable();  // kept to the end of the process
  return *table;
}

}  // namespace

void CommitQueue::Commit(const std::string& path, Job* job, std::size_t max_batch,
                         const SaveFunction& save) {
  const std::shared_ptr<ReportQueue> queue = Queues().Enter(path);
  struct Leaving {
    const std::string& path;
    ~Leaving() { Queues().Leave(path); }
  } leaving{path};
  MutexLock lock(queue->mutex);
  queue->pending.push_back(job);
  while (!job->done) {
    if (queue->saving) {
      queue->changed.wait(lock.native());
      continue;
    }
    // This thread saves the next batch. Its own job is in it, or in a later
    // one (when the batch is limited): a job leaves the queue only in a
    // batch, and is done once that batch is saved.
    const std::size_t count =
        max_batch == 0 ? queue->pending.size() : std::min(max_batch, queue->pending.size());
    std::vector<Job*> batch;
    try {
      batch.assign(queue->pending.begin(), queue->pending.begin() + count);
    } catch (...) {
      // Out of memory: this job leaves the queue unsaved, and the others wait
      // for the next saver.
      std::erase(queue->pending, job);
      queue->changed.notify_all();
      throw;
    }
    queue->pending.erase(queue->pending.begin(), queue->pending.begin() + count);
    queue->saving = true;
    lock.Unlock();
    save(batch);
    lock.Lock();
    for (Job* saved : batch) saved->done = true;
    queue->saving = false;
    queue->changed.notify_all();
  }
}

}  // namespace ringwell::tallier
