// CommitQueue: group commit of the updates that the threads of this process
// make to one report. An update is queued under the report's path; the first
// thread that finds no save of that report running becomes its saver: it
// takes every update queued so far (at most `max_batch` of them) and carries
// them in one save, while updates that arrive meanwhile queue up for the next
// one. A thread returns only once a save that held its update is over, so
// what it is told is what that save did; when its update was not in the
// batch just saved, one of the waiting threads saves the next batch.
//
// The save itself (the locked load, the changes, the atomic save) is the
// caller's function; the queue only decides who runs it and with what.
//
// Thread-safety: Commit may be called from any thread; a job belongs to its
// caller until Commit returns, and is read and written by the saving thread
// only while it runs `save` for the batch holding it.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

namespace ringwell::tallier {

class CommitQueue {
 public:
  // One queued update; callers derive their own job from it.
  struct Job {
    bool done = false;  // set once a save that held it is over
  };
  using SaveFunction = std::function<void(std::span<Job* const> batch)>;

  // Queues `job` for the report at `path` and returns once a save that held it
  // is over. The calling thread may run `save` for its own job and those of
  // other threads; `save` must not throw. `max_batch` 0 means no limit.
  static void Commit(const std::string& path, Job* job, std::size_t max_batch,
                     const SaveFunction& save);
};

}  // namespace ringwell::tallier
