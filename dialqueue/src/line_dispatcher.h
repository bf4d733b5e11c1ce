// LineDispatcher: the dispatch mode for many lines. Instead of every line
// looking at the dial queue on its own schedule, the dispatcher's thread
// hands each due entry at once to the lowest-numbered line that is waiting
// and free in the line registry. It wakes when an entry is pushed onto the
// queue, when a line starts waiting, and when the first entry of the queue
// comes due; it never polls (only a waiting line held by the pager is looked
// at again after a short while).
//
// A line worker calls WaitForEntry to get its next entry (taken in the queue,
// its line acquired in the registry) and, once done with it, releases its line
// and waits again.
//
// Thread-safety: every method may be called from any thread. Lock order: the
// dispatcher's lock, then the queue's lock, then the line registry's lock or
// the wake-up lock (which the queue's change listener takes under the queue's
// lock).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

#include "queue_entry.h"
#include "request_queue.h"
#include "ringwell/common/thread_annotations.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue {

class LineDispatcher final : public CRequestQueue::Listener {
 public:
  // Starts the dispatcher's thread on the dial queue of `state`, which must
  // outlive the object.
  explicit LineDispatcher(SchedulerState& state);
  // Stops and joins the thread. Every line must have stopped waiting.
  ~LineDispatcher() override;
  LineDispatcher(const LineDispatcher&) = delete;
  LineDispatcher& operator=(const LineDispatcher&) = delete;

  // Waits until the dispatcher hands `line` an entry: true with the entry
  // (taken in the queue, the line acquired), false when `stop` was requested
  // (an entry handed over meanwhile is put back and the line released).
  bool WaitForEntry(std::int32_t line, CQueueEntry* entry, const std::stop_token& stop);

  void QueueChanged() override;

  // Number of lines waiting for an entry now (for tests and diagnostics).
  std::size_t WaitingLines();

 private:
  struct Waiting {
    std::condition_variable_any wake;
    std::optional<CQueueEntry> entry;  // set and read with the dispatcher's mutex_ held
  };

  void Run(const std::stop_token& stop);
  // Hands out every due entry it can; how long until it should look again
  // (nullopt: only when woken).
  std::optional<std::chrono::milliseconds> Dispatch();
  void Wake();

  SchedulerState& state_;
  Mutex mutex_;
  std::multimap<std::int32_t, Waiting*> waiting_ RINGWELL_GUARDED_BY(mutex_);  // by line number
  Mutex wake_mutex_;
  std::condition_variable_any wake_;
  bool woken_ RINGWELL_GUARDED_BY(wake_mutex_) = false;
  std::jthread thread_;  // last: stopped and joined first
};

}  // namespace ringwell::dialqueue
