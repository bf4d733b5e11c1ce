// CRequestQueue: the entries of scheduled requests in ascending order of their
// next attempt (linear NextTime), entries with equal times in the order they
// were pushed. The dial queue and the page queue are each one of these.
//
// Besides the ordered list the queue keeps an index of the untaken entries, of
// the entries per (ID, number) and a count per ID, so that Push, the first
// free entry, Remove and ContainsId stay logarithmic or constant however many
// recipients a request has. IDs and numbers compare ignoring the case of
// ASCII letters.
//
// Listeners (the dispatcher of the many-lines mode) are told of every Push.
//
// Thread-safety: every operation takes the queue's recursive lock for its own
// duration; Lock/Unlock (or QueueLock) hold it across a sequence of operations
// by the same thread.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "queue_entry.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell::dialqueue {

class CRequestQueue {
 public:
  // Told of every Push, under the queue's lock: it must not take the lock of
  // anything that takes this queue's lock before its own.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void QueueChanged() = 0;
  };
  // Adds or removes a listener (which must stay alive while it is added).
  void AddListener(Listener* listener);
  void RemoveListener(Listener* listener);

  // Inserts `entry` with Taken cleared, behind every entry whose NextTime is
  // not later.
  void Push(CQueueEntry entry);
  // Copies the first entry in order whose Taken flag is clear; false when none.
  bool PeekFirstFree(CQueueEntry* entry) const;
  // Sets Taken on that same first free entry (nothing when there is none).
  void MarkFirstFreeTaken();
  // Removes the first entry in order with this ID and number (ignoring case).
  void Remove(std::string_view id, std::string_view phone_number);
  // True while any entry, taken or not, has this ID (ignoring case).
  bool ContainsId(std::string_view id) const;
  std::size_t Size() const;
  // How many untaken entries are due at `now` (NextTime not after it): the
  // recipients waiting for a free line.
  std::size_t CountDue(OleDate now) const;
  // Every entry in order (for tests and diagnostics).
  std::vector<CQueueEntry> Snapshot() const;
  void Clear();

  void Lock() const RINGWELL_ACQUIRE(mutex_) { mutex_.Lock(); }
  void Unlock() const RINGWELL_RELEASE(mutex_) { mutex_.Unlock(); }

 private:
  struct Position {
    double time;  // linear NextTime
    std::uint64_t sequence;
    auto operator<=>(const Position&) const = default;
  };
  struct PairHash {
    std::size_t operator()(const std::pair<std::string, std::string>& key) const;
  };

  // Recursive: a holder of QueueLock calls the methods above.
  mutable RecursiveMutex mutex_;
  std::uint64_t next_sequence_ RINGWELL_GUARDED_BY(mutex_) = 0;
  std::map<Position, CQueueEntry> entries_ RINGWELL_GUARDED_BY(mutex_);
  std::set<Position> free_ RINGWELL_GUARDED_BY(mutex_);
  std::unordered_map<std::pair<std::string, std::string>, std::set<Position>, PairHash> by_number_
      RINGWELL_GUARDED_BY(mutex_);
  std::unordered_map<std::string, std::size_t> count_by_id_ RINGWELL_GUARDED_BY(mutex_);
  std::vector<Listener*> listeners_ RINGWELL_GUARDED_BY(mutex_);
};

// Holds a queue's lock for a scope.
class QueueLock {
 public:
  explicit QueueLock(const CRequestQueue& queue) RINGWELL_NO_THREAD_SAFETY_ANALYSIS
      : queue_(queue) {
    queue_.Lock();
  }
  ~QueueLock() RINGWELL_NO_THREAD_SAFETY_ANALYSIS { queue_.Unlock(); }
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;

 private:
  const CRequestQueue& queue_;
};

}  // namespace ringwell::dialqueue
